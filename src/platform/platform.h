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

// ---- Errors ---------------------------------------------------------------------------

// The calling thread's last system error (GetLastError / errno).
std::uint32_t PlatformLastError();
void PlatformSetLastError(std::uint32_t code);
// The system's message text for `code`, exactly as the system gives it (on Windows with its
// closing CR LF; the Linux text gets the same CR LF so that callers treat both alike).
// False when the system has no text for the code.
bool PlatformSystemErrorText(std::uint32_t code, std::string* text);

// ---- Files and directories ------------------------------------------------------------

// fopen with a binary mode; on Linux a '\' in the path is taken as a separator like '/'.
std::FILE* PlatformOpenFile(const char* path, const char* mode);
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
bool PlatformAppendBytes(PlatformAppendFile* file, const char* bytes, std::size_t count);
void PlatformCloseAppend(PlatformAppendFile* file);

// ---- Time -----------------------------------------------------------------------------

// The current time, broken down in local time.
void PlatformLocalTimeNow(std::tm* out);
void PlatformSleep(std::uint32_t milliseconds);

// ---- Processes --------------------------------------------------------------------------

constexpr int kModuleNameChars = 50;  // room for a process's first module base name

// Starts a command line: the first token names the program (Windows: CreateProcessA's own
// search, starting with the controller's directory; Linux: split at blanks, no shell, the
// first token looked up in the controller's directory, then the current directory, then
// PATH). No handle or descriptor of the controller is inherited, the child leaves no
// zombie and keeps running after the controller ends. On success gives the new process's
// id and creation time; false with the last error set on failure.
bool PlatformLaunch(const char* commandLine, std::uint32_t* pid, std::uint64_t* creationTime);
// The base name of the first module of process `pid` and its creation time. False when the
// process does not exist or cannot be examined.
bool PlatformProcessIdentity(std::uint32_t pid, char* name, std::size_t nameSize,
                             std::uint64_t* creationTime);
std::uint32_t PlatformCurrentProcessId();

// For the KILL tool: every running process with its parent and executable base name.
struct ProcessEntry {
    std::uint32_t pid;
    std::uint32_t parentPid;
    std::string imageName;
};
bool PlatformListProcesses(std::vector<ProcessEntry>* out);
// Ends a process at once (TerminateProcess / SIGKILL). False when it could not.
bool PlatformTerminateProcess(std::uint32_t pid);

// ---- Service manager and event log -----------------------------------------------------

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
// control handler gave. True on success.
bool PlatformSetServiceStatus(void* statusHandle, const ServiceStatusRecord& status);
// Writes one error entry with two insertion strings under the event source `source`
// (Windows event log; syslog, facility daemon, on Linux). False when no source could be
// opened; the entry is then not written.
bool PlatformReportErrorEvent(const char* source, const char* line, const char* text);
