// The processes port: starting command lines, watching and ending processes, and the raw
// facts about a running process from which shared code (supervision/job_starter_identity.h)
// decides who it is. Every call may be made from any thread and sets the last error on
// failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What the caller may read of a running process. Nothing here is judged: whether the process
// is a job starter is decided from these facts by shared code, the same on both systems.
struct ProcessFacts {
    std::uint64_t created = 0;   // its creation time, the platform's own value
    std::string executablePath;  // its executable's full path; "" where the caller may not read it
    // Whether its command line could be read; when not, its arguments are unknown, never
    // taken as empty (Windows: a process of the other width where the system gives no way;
    // Linux: a process that has only just been started shows an empty one for a moment).
    bool commandLineKnown = false;
    // The command line's words (Linux: its arguments as started; Windows: the program, without
    // its quotes, then the rest split at blanks).
    std::vector<std::string> words;
    bool kernelThread = false;       // Linux: a kernel thread, whose command line stays empty
    std::size_t namespaceDepth = 0;  // Linux: how many PID namespaces it belongs to (0: unknown)
    // The account it runs as (Linux: its real user id; Windows: its user's SID), "" where the
    // caller may not tell.
    std::string account;
};
// False when the process does not exist or has ended.
bool PlatformProcessFacts(std::uint32_t pid, ProcessFacts* facts);
// How many PID namespaces this process belongs to (Linux; 0 where unknown or on Windows).
std::size_t PlatformOwnNamespaceDepth();
// The account this process runs as, in ProcessFacts::account's terms.
std::string PlatformOwnAccount();
// The words of the "#!" line of the file `path` that process `pid` names on its command line
// (a relative path is relative to that process's current folder). Looked at only when it is
// a regular file, opened without waiting; empty for anything else (always on Windows).
std::vector<std::string> PlatformScriptLine(std::uint32_t pid, const std::string& path);
std::uint32_t PlatformCurrentProcessId();

// Every running process with its parent, and on Windows its image name as the snapshot gives
// it (a cheap first filter; empty on Linux, where only the facts tell).
struct ProcessEntry {
    std::uint32_t pid;
    std::uint32_t parentPid;
    std::string imageHint;
};
bool PlatformListProcesses(std::vector<ProcessEntry>* out);

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
// `output` (when given) says where the new process's standard output and error go instead of
// where the caller's go: appended to the file `file`, through a descriptor (handle) of the
// child's own, so that it never waits on the caller and writes on after the caller ends; or,
// with no file, (Linux) to the system's journal under the name `journalName`. A file that
// cannot be opened sends the output nowhere, with the reason in `outputProblem`.
struct ChildOutput {
    std::string file;
    std::string journalName;
};
bool PlatformLaunch(const char* commandLine, std::uint32_t* pid, std::uint64_t* creationTime,
                    PlatformProcessWatch** watch = nullptr, const ChildOutput* output = nullptr,
                    std::string* outputProblem = nullptr);
// Runs program `program` (a path) with `arguments`, its output going where the caller's goes,
// and waits for its end. False, with the last error set, when it could not be started;
// `exitCode` receives its exit status otherwise.
bool PlatformRunProgram(const std::string& program, const std::vector<std::string>& arguments,
                        std::uint32_t* exitCode);
// Where PlatformLaunch would find program `name` (the command line's first token): true and
// its path, or false when there is none.
bool PlatformFindProgram(const char* name, std::string* path);

// Watches process `pid` while it is still the one created at `creationTime` (Windows: a handle
// with SYNCHRONIZE; Linux: a pidfd, opened before the check). Null when it has ended, is
// another process by now, or cannot be watched.
PlatformProcessWatch* PlatformWatchProcess(std::uint32_t pid, std::uint64_t creationTime);
// True once the watched process has ended; never waits. `codeKnown` says whether the system
// gives its exit code (Linux: only for the caller's own child; a signal gives 128 plus its
// number, as a shell shows it), `exitCode` receives it.
bool PlatformWatchedEnded(PlatformProcessWatch* watch, bool* codeKnown, std::uint32_t* exitCode);
// The account the watched process runs as (ProcessFacts::account's terms), asked of that
// process and never of a later one that got its id; "" when it cannot be told or the process
// has ended.
std::string PlatformWatchedAccount(PlatformProcessWatch* watch);
// Ends the watched process at once (TerminateProcess / SIGKILL through the pidfd). False, with
// the last error set, when it could not.
bool PlatformEndWatched(PlatformProcessWatch* watch);
void PlatformCloseWatch(PlatformProcessWatch* watch);

// Ends a process at once (TerminateProcess / SIGKILL). False when it could not, with the
// last error set (also for a process that does not exist or has ended).
bool PlatformTerminateProcess(std::uint32_t pid);
// True while process `pid` exists and has not ended, even where it may not be examined or
// ended by the caller (another user's).
bool PlatformProcessExists(std::uint32_t pid);
