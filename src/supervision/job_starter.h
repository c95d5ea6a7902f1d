// Starting the job starter, and killing it through the outside KILL command before starting
// it again. A numbered instance kills the process it started, while it is still that
// process, and any other job starter started with its instance number (left by an earlier
// run of the same instance); an un-numbered one kills by image name, which ends only the
// job starters started without an instance number. The new one is started once the old
// ones have ended, so that one instance never runs two job starters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int kCommandLineBytes = 200;
constexpr std::uint32_t kKillPauseMs = 2000;  // time given to KILL before the next start
// After the pause, how long the start waits for the old job starters to be gone: a slow
// KILL must not leave two running, yet supervision must go on when one will not end.
constexpr std::uint32_t kEndWaitMs = 10000;
constexpr long kNoInstanceArgument = -1;

struct JobStarterState {
    std::uint32_t pid;                    // the job starter this run started, 0 for none
    std::uint64_t creationTime;           // its creation time, to tell it from a later process
    char commandLine[kCommandLineBytes];  // what it was started with
};

// Cleared by the run loop at the start of a run; set only here, read by the run loop to
// publish it.
extern JobStarterState gJobStarter;

// One kill-and-start pass (numbered or not, by gServiceIdentity), pausing 2000 ms after a
// KILL. Called once after start-up and once per heartbeat time-out.
void RestartJobStarter();
// The same pass with another pause, for tests that cannot wait two seconds per KILL.
void RestartJobStarterPausing(std::uint32_t killPauseMs);

// True while process `pid` is still the one recorded with that image name (compared without
// regard to case) and creation time. An id that has ended, or been taken over by another
// process since (ids are reused), is never mistaken for it: a numbered pass kills the job
// starter it started only then, and -status calls a process alive only then.
bool IsRecordedProcess(std::uint32_t pid, const char* image, std::uint64_t creationTime);
// The job starter's image name for the configured database system: "QVLJOBSTR_ORACLE.EXE".
void JobStarterImage(char* image, std::size_t size);
// The running processes of image `image` (without regard to case) whose instance argument
// is `instance` (kNoInstanceArgument: started without one). A process's instance argument is
// its first argument when that is a plain decimal number (a numbered controller always gives
// its job starter one), and none when its arguments cannot be read. Empty when none, or when the
// processes cannot be listed.
std::vector<std::uint32_t> RunningJobStarters(const char* image, long instance);

// Starts a command line and logs "Prozess ... erstellt." or the failure with the system's
// error text. Returns the new process id, or 0 when it could not be started; gives the
// process's creation time through `creationTime` when that is not null.
std::uint32_t LaunchCommandLine(const char* commandLine, std::uint64_t* creationTime = nullptr);
