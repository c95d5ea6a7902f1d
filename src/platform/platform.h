// The one interface between the controller's logic and the operating system. It speaks the
// controller's own language (open the log for shared appending, read a profile entry,
// report a service status, ...); platform/win32 keeps the exact Win32 call sequences the
// system is built on, platform/posix gives the same observable behaviour on Linux. CMake
// picks the backend; no logic file tests for the platform. Unless a function says
// otherwise, it may be called from any thread and sets the platform's last error on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// ---- The process ------------------------------------------------------------------------

// Process-wide settings made first thing, before any other thread: on Linux SIGPIPE is
// ignored, so that a write to a log that is a FIFO whose reader went away fails with EPIPE
// instead of ending the controller (Windows has no such signal: nothing to do).
void PlatformPrepareProcess();
// Standard output passes every byte as it is: Windows' text mode would turn each LF into CR LF
// (the metrics' format wants LF alone). Nothing to do on Linux.
void PlatformBinaryStandardOutput();

// ---- Errors ---------------------------------------------------------------------------

// The calling thread's last system error (GetLastError / errno).
std::uint32_t PlatformLastError();
void PlatformSetLastError(std::uint32_t code);
// The system's message text for `code`, exactly as the system gives it (on Windows with its
// closing CR LF; the Linux text gets the same CR LF so that callers treat both alike).
// False when the system has no text for the code.
bool PlatformSystemErrorText(std::uint32_t code, std::string* text);

// ---- Files and directories ------------------------------------------------------------

// The INI and settings files are a few lines. One larger than this (or one that never ends,
// such as /dev/zero) is taken as unreadable instead of being read without end.
constexpr std::size_t kMaxConfigFileBytes = 4u << 20;

// Opens a regular file for reading in binary mode; on Linux a '\' in the path is taken as a
// separator like '/'. Never waits, and refuses what is not a regular file (a FIFO, a device,
// a pipe's name on Windows), so that a reader can never be held. Null on failure.
std::FILE* PlatformOpenFileForReading(const char* path);
// How reading a small file went.
enum class SmallFileRead { kRead, kMissing, kFailed, kNotRegular, kTooLarge };
// Reads the regular file at `path` whole when it holds at most `limit` bytes; never waits.
// kMissing (no such file or folder) or kFailed with the last error set when it cannot be
// opened or read. On Windows it is opened
// with every sharing, so that its writer may replace it while it is read.
SmallFileRead PlatformReadSmallFile(const char* path, std::size_t limit, std::string* bytes);
// Replaces the file at `path` with `bytes` in one step, so that a reader sees the old file or
// the new one, never a part of either: written whole to a new file of a unique name beside
// it, created so that no existing name (a link, a FIFO, another file) is ever followed or
// opened, readable by everyone, then moved over `path`. False, with the last error set, when
// it could not; the new file is then gone.
bool PlatformReplaceFileWith(const char* path, const std::string& bytes);
// Full path of the running executable (first module of the process). False on failure.
bool PlatformExecutablePath(char* out, std::size_t size);
bool PlatformSetCurrentDirectory(const char* dir);
// True when `c` is the lead byte of a double-byte character in the system code page
// (never on Linux, whose multi-byte encoding has no separator bytes inside characters).
bool PlatformIsLeadByte(unsigned char c);
// The profile reader: GetPrivateProfileStringA on Windows, the project's own reader with
// its rules on Linux. Returns the number of characters copied, without the terminator.
std::uint32_t PlatformReadProfileString(const char* section, const char* key, const char* def,
                                        char* out, std::uint32_t size, const char* iniPath);
// The names of the keys in `section` of the INI file at `iniPath` (Windows: the profile
// API's key list; Linux: the project's reader). Empty when the file or section is missing.
std::vector<std::string> PlatformProfileKeys(const char* section, const char* iniPath);
// Deletes a file (never a directory). False when it could not be deleted.
bool PlatformDeleteFile(const char* path);
// Renames a file; never replaces an existing target. False when it could not be moved.
bool PlatformRenameNoReplace(const char* from, const char* to);

// ---- Shared append-only files (the log) ------------------------------------------------

struct PlatformAppendFile;
// Opens (creating if missing) for appending, shared so that other processes may read it,
// append to it and keep it open meanwhile. Every write lands at the current end of the
// file, even when another process appended in between. Null when it cannot be opened.
PlatformAppendFile* PlatformOpenAppend(const char* path);
// The stream's position: the file's size when it was opened, advanced by every append made
// through it (like a C stream's position, it needs no system call). -1 when unknown.
std::int64_t PlatformAppendPosition(PlatformAppendFile* file);
// Appends all bytes in one write, so that concurrent appenders never interleave within it.

// Appends all bytes in one write, so that concurrent appenders never interleave within it.
// False when not all could be written (a full disk): a part that did get written is taken
// back when nothing was appended after it; `torn` (when not null) is set when a part stays
// in the file all the same, so that the caller can begin its next entry on a line of its own.
bool PlatformAppendBytes(PlatformAppendFile* file, const char* bytes, std::size_t count,
                         bool* torn = nullptr);
void PlatformCloseAppend(PlatformAppendFile* file);
// A lock, across processes, on rotating the shared file at `path`: while one process holds
// it, no other that asks for it may rotate. It is an object that only the accounts that may
// write the file can take (Linux: a lock file beside it, created with the file's write
// permissions and nothing else, locked only when opened for writing; Windows: a named mutex
// whose access list grants it to the accounts that may write the file), so that a reader
// can never hold a rotation up. Waits at most `timeoutMs`, and no longer once `abandon` (when
// not null) is set. Null when it was not had: the caller then does not rotate.
struct PlatformRotationLock;
PlatformRotationLock* PlatformLockRotation(const char* path, std::uint32_t timeoutMs,
                                           struct PlatformEvent* abandon);
void PlatformUnlockRotation(PlatformRotationLock* lock);

// ---- Time -----------------------------------------------------------------------------

// The current time, broken down in local time.
void PlatformLocalTimeNow(std::tm* out);
void PlatformSleep(std::uint32_t milliseconds);

// ---- Processes --------------------------------------------------------------------------

// Who a running process is, from what the caller may read. A process counts as one of a
// given image name when either of its two names is that name (see the job starter's rules).
struct ProcessIdentity {
    // The base name of its executable file; "" where the caller may not read it (Linux: another
    // user's process).
    std::string executable;
    // The base name of the program it was started as: its command line's first word (a
    // symbolic link keeps the link's name here), or for a script run through its "#!" line
    // the script, wherever the interpreter, env and their options put it; "" when the command
    // line cannot be read.
    std::string program;
    std::uint64_t created = 0;  // its creation time, the platform's own value
    // Whether its command line could be read; when not, its arguments are unknown, never
    // taken as empty (Windows: a process of the other width where the system gives no way).
    bool argumentsKnown = false;
    std::string arguments;     // the words after the program, separated by blanks
    bool ownNamespace = true;  // Linux: false for a process of another PID namespace (a
                               // container's) than the caller's; Windows: always true
};
// False when the process does not exist or has ended. Files named on its command line are
// looked at only when they are regular files, never opened in a way that could block.
bool PlatformProcessIdentity(std::uint32_t pid, ProcessIdentity* identity);
std::uint32_t PlatformCurrentProcessId();

// A process being watched: its end can be waited for (PlatformWait) and it can be ended,
// with no risk of hitting a later process that got the same id.
struct PlatformProcessWatch;

// Starts a command line: the first token names the program (Windows: CreateProcessA's own
// search, starting with the controller's directory; Linux: split at blanks, no shell, the
// first token looked up in the controller's directory, then the current directory, then
// PATH). No handle or descriptor of the controller is inherited, the child starts with every
// signal at its default and none blocked, leaves no zombie and keeps running after the
// controller ends. On success gives the new process's id and creation time, and with `watch`
// a watch on it (Linux: the child is then the caller's own, reaped by the watch, so that its
// exit code is known); false with the last error set on failure.
bool PlatformLaunch(const char* commandLine, std::uint32_t* pid, std::uint64_t* creationTime,
                    PlatformProcessWatch** watch = nullptr);
// Runs program `program` (a path) with `arguments`, its output going where the caller's goes,
// and waits for its end. False, with the last error set, when it could not be started;
// `exitCode` receives its exit status otherwise.
bool PlatformRunProgram(const std::string& program, const std::vector<std::string>& arguments,
                        std::uint32_t* exitCode);
// The file names the build gives the controller and KILL: "QVLJOBCTL.EXE" and "KILL.EXE" on
// Windows, "qvljobctl" and "KILL" on Linux.
const char* PlatformControllerFileName();
const char* PlatformKillFileName();
// Where PlatformLaunch would find program `name` (the command line's first token): true and
// its path, or false when there is none.
bool PlatformFindProgram(const char* name, std::string* path);
// Watches process `pid` while it is still the one created at `creationTime` (Windows: a handle
// with SYNCHRONIZE; Linux: a pidfd, opened before the check). Null when it has ended, is
// another process by now, or cannot be watched.
PlatformProcessWatch* PlatformWatchProcess(std::uint32_t pid, std::uint64_t creationTime);
std::uint32_t PlatformWatchedId(PlatformProcessWatch* watch);
// True once the watched process has ended; never waits. `codeKnown` says whether the system
// gives its exit code (Linux: only for the caller's own child; a signal gives 128 plus its
// number, as a shell shows it), `exitCode` receives it.
bool PlatformWatchedEnded(PlatformProcessWatch* watch, bool* codeKnown, std::uint32_t* exitCode);
// Ends the watched process at once (TerminateProcess / SIGKILL through the pidfd). False, with
// the last error set, when it could not.
bool PlatformEndWatched(PlatformProcessWatch* watch);
void PlatformCloseWatch(PlatformProcessWatch* watch);

// Every running process with its parent, and on Windows its image name as the snapshot gives
// it (a cheap first filter; empty on Linux, where only PlatformProcessIdentity tells).
struct ProcessEntry {
    std::uint32_t pid;
    std::uint32_t parentPid;
    std::string imageHint;
};
bool PlatformListProcesses(std::vector<ProcessEntry>* out);
// Ends a process at once (TerminateProcess / SIGKILL). False when it could not, with the
// last error set (also for a process that does not exist or has ended).
bool PlatformTerminateProcess(std::uint32_t pid);
// True while process `pid` exists and has not ended, even where it may not be examined or
// ended by the caller (another user's).
bool PlatformProcessExists(std::uint32_t pid);

// ---- Events, the heartbeat pipe and waits ----------------------------------------------

// A manual-reset, initially non-signalled, unnamed event. Once set it stays set.
struct PlatformEvent;
PlatformEvent* PlatformCreateEvent();  // null on failure
void PlatformSetEvent(PlatformEvent* event);
void PlatformCloseEvent(PlatformEvent* event);

// Access for every caller to the pipe (Windows: a 20-byte heap block, initialised at
// revision 1, with a present but null access list). Returns 0 and the block, or the failed
// step: 1 the block could not be had, 2 initialising it failed, 3 attaching the list failed.
struct PlatformOpenAccess;
int PlatformCreateOpenAccess(PlatformOpenAccess** access);
void PlatformFreeOpenAccess(PlatformOpenAccess* access);

// The heartbeat pipe's server end: message mode, one instance, default time-out 1000 ms,
// open to everyone (Linux: an abstract SOCK_SEQPACKET socket named by the same text).
// `pipeEvent` completes its operations. Null with the last error set on failure.
struct PlatformPipe;
PlatformPipe* PlatformCreatePipe(const char* name, PlatformOpenAccess* access,
                                 PlatformEvent* pipeEvent);
void PlatformClosePipe(PlatformPipe* pipe);

// How an operation on the pipe started: still pending (wait for it), or over (done, or failed
// in a way that is not examined). A listen may also have failed: no client has come, and
// none will until it is tried again (descriptors used up, say); the last error says why.
enum class PipeStart { kPending, kOver, kFailed };
// What one wait saw first, in this order: the stop event, the pipe's pending operation, the
// watched process's end; else the time-out, or the wait itself failed.
enum class WaitResult { kStop, kPipe, kProcess, kTimeout, kFailed };
constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;

// Starts listening for a client. kOver for a client that connected before the call.
PipeStart PlatformPipeListen(PlatformPipe* pipe);
// After a wait saw a pending listen complete: true when a client is connected; false, with
// the last error set, when the listen failed.
bool PlatformPipeListenSucceeded(PlatformPipe* pipe);
// Ends a listen that is still pending (after a time-out) before its record is reused.
void PlatformPipeCancel(PlatformPipe* pipe);
// Reads one message of at most `size` bytes; the rest of a longer message is discarded.
PipeStart PlatformPipeRead(PlatformPipe* pipe, char* buffer, std::size_t size);
// Bytes received by the last read, once it is over (0 when it failed).
std::size_t PlatformPipeBytesRead(PlatformPipe* pipe);
// Writes one message of exactly `size` bytes.
PipeStart PlatformPipeWrite(PlatformPipe* pipe, const char* bytes, std::size_t size);
void PlatformPipeDisconnect(PlatformPipe* pipe);
// The one wait of the run loop, at most `timeoutMs`: for the stop event, the pipe's pending
// operation (when `pipe` is not null and has one) and the end of the watched process (when
// `process` is not null). A stop wins over everything else.
WaitResult PlatformWait(PlatformEvent* stop, PlatformPipe* pipe, PlatformProcessWatch* process,
                        std::uint32_t timeoutMs);

// True when a server end of pipe `name` exists, found without connecting to it, so that
// asking is never a client of the pipe (Windows: WaitNamedPipeA for one millisecond;
// Linux: a listening abstract socket of that name in /proc/net/unix).
bool PlatformPipeServed(const char* name);
// The client side, for qvlping and job starters (and tests that hold a connection). Each
// step keeps to its own time-out and never blocks past it.
struct PlatformPipeClient;
// Connects to pipe `name`, waiting up to `timeoutMs` while it is busy (Windows: another
// client is being served; Linux: the queue of waiting clients is full). Null when no
// controller listens or it stays busy.
PlatformPipeClient* PlatformPipeConnect(const char* name, std::uint32_t timeoutMs);
// Sends one message; true when all of it went out within `timeoutMs`.
bool PlatformPipeClientSend(PlatformPipeClient* client, const char* message, std::size_t length,
                            std::uint32_t timeoutMs);
// Receives one message (cut to `size`); false when none came within `timeoutMs` or the
// controller disconnected.
bool PlatformPipeClientReceive(PlatformPipeClient* client, char* buffer, std::size_t size,
                               std::size_t* length, std::uint32_t timeoutMs);
void PlatformPipeClientClose(PlatformPipeClient* client);
// One heartbeat: connect, one message out, one reply back, each within `timeoutMs`.
// Returns 0 on success, 1 when no controller listens on `name`, 2 when the exchange failed
// after connecting.
int PlatformPipeTransact(const char* name, const char* message, std::size_t length, char* reply,
                         std::size_t replySize, std::size_t* replyLength, std::uint32_t timeoutMs);

// ---- Console --------------------------------------------------------------------------

// The console control events, in Windows' numbering (CTRL_C_EVENT, CTRL_BREAK_EVENT).
constexpr std::uint32_t kConsoleCtrlC = 0;
constexpr std::uint32_t kConsoleCtrlBreak = 1;
// Installs a console control handler: Ctrl+C and Ctrl+Break reach it on a thread of
// its own, as Windows' console control thread calls it (Linux: SIGINT and SIGQUIT, taken by
// a dedicated thread). It returns true when it handled the event. Call it before any other
// thread is started. False when it could not be installed.
bool PlatformInstallConsoleHandler(bool (*handler)(std::uint32_t eventType));

// ---- Service manager and event log -----------------------------------------------------

// The values of the status record and of the controls, in Windows' numbering, which the
// Linux backend maps onto systemd.
constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStartPending = 2;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServiceAcceptStop = 1;
constexpr std::uint32_t kServiceControlStop = 1;
// ERROR_SERVICE_SPECIFIC_ERROR: the exit code that points at the service-specific code.
constexpr std::uint32_t kErrorServiceSpecific = 1066;

// The platform's SERVICE_STATUS record, fields in its order.
struct ServiceStatusRecord {
    std::uint32_t serviceType;
    std::uint32_t currentState;
    std::uint32_t controlsAccepted;
    std::uint32_t win32ExitCode;
    std::uint32_t serviceSpecificExitCode;
    std::uint32_t checkPoint;
    std::uint32_t waitHint;
};
// Hands a status record to the service manager under the handle that registering the
// control handler gave. True on success. On Linux the stopped state ends the process at
// once (_exit with the exit status systemd is to see: 0 for exit code 0, else the
// service-specific code after 1066 or the exit code, 1 when that is 0 or above 255), since a
// systemd service is its process; on Windows the dispatcher returns to main instead.
bool PlatformSetServiceStatus(void* statusHandle, const ServiceStatusRecord& status);
// Registers the service's control handler under `name`; the status handle, or null.
void* PlatformRegisterServiceHandler(const char* name, void (*handler)(std::uint32_t control));
// Hands the calling thread to the service dispatcher, which calls `serviceMain` on a thread
// of its own with the service manager's arguments. Returns when the service has stopped;
// false at once (last error set) when the process was not started by the service manager.
bool PlatformStartServiceDispatcher(const char* name, void (*serviceMain)(int argc, char** argv));

// The service manager's database, for installing and removing the service. Handles are
// opaque; every call sets the last error on failure, for FormatLastError.
void* PlatformScOpenManager();
// `executablePath` is given as it is; the backend quotes it for the service manager.
void* PlatformScCreateService(void* manager, const char* name, const char* displayName,
                              const char* executablePath);
void* PlatformScOpenService(void* manager, const char* name);
// Sends the stop control; true when the service accepted it. `state` receives its state.
bool PlatformScControlStop(void* service, std::uint32_t* state);
bool PlatformScQueryState(void* service, std::uint32_t* state);
bool PlatformScDeleteService(void* service);
// The service manager's recovery for a service: restart it `restartDelayMs` after every
// failure (a crash, or a stop with a non-zero exit code) but never after a clean stop; the
// count of failures is reset after `resetSeconds` without one. Windows: the failure actions
// and their flag; Linux: Restart=on-failure and RestartSec in the unit. False, with the last
// error set and `failedSetting` naming the setting not made, when the manager refused one.
bool PlatformScSetRecovery(void* service, std::uint32_t restartDelayMs, std::uint32_t resetSeconds,
                           const char** failedSetting);
// Service `name` as the service manager has it, asked with a user's rights only: its state
// (kServiceNotInstalled when there is no such service), while it has a process that
// process's id (0 otherwise), and whether the manager is about to start it again after a
// failure (systemd's "auto-restart"; Windows shows no such thing). False, with the last error
// set, when the manager cannot be asked.
constexpr std::uint32_t kServiceNotInstalled = 0;
struct ServiceQuery {
    std::uint32_t state = kServiceNotInstalled;
    std::uint32_t pid = 0;
    bool restartPending = false;
};
bool PlatformScQueryService(const char* name, ServiceQuery* query);
// Starts an installed service and, on Linux, waits until it reports running (Windows: the
// service manager's start; it reports its state later). False, with the last error set, when
// the manager refused it.
bool PlatformScStartService(void* service);
// The names of the installed services of the controller (named after the base service name)
// whose registered executable is `executablePath`: the instances of one installation.
// False, with the last error set, when the manager cannot be asked.
bool PlatformScServicesOf(const char* executablePath, std::vector<std::string>* names);
void PlatformScClose(void* handle);

// Registers event source `source` under the Application log with its message texts in
// `messageFile` (Windows: the registry key the event viewer reads, with EventMessageFile
// and TypesSupported; Linux: syslog needs none, nothing to do). False, with the last error
// set, when it could not be registered; nothing is left half made.
bool PlatformRegisterEventSource(const char* source, const char* messageFile);
// Deletes that registration; true also when there was none.
bool PlatformDeregisterEventSource(const char* source);
// Writes one error entry with two insertion strings under the event source `source`
// (Windows event log; syslog, facility daemon, on Linux). False when no source could be
// opened; the entry is then not written.
bool PlatformReportErrorEvent(const char* source, const char* line, const char* text);
