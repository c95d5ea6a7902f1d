// Starting the job starter, and killing it through the outside KILL command before starting
// it again. A numbered instance remembers the process it started and kills only that one,
// and only while it is still that process; an un-numbered one kills by image name.
#pragma once

#include <cstdint>

constexpr int kCommandLineBytes = 200;
constexpr std::uint32_t kKillPauseMs = 2000;  // time given to KILL before the next start

struct JobStarterState {
    std::uint32_t pid;           // the job starter this run started, 0 for none
    std::uint64_t creationTime;  // its creation time, to tell it from a later process
};

// Cleared by the run loop at the start of a run; set and read only here.
extern JobStarterState gJobStarter;

// One kill-and-start pass (numbered or not, by gServiceIdentity), pausing 2000 ms after a
// KILL. Called once after start-up and once per heartbeat time-out.
void RestartJobStarter();
// The same pass with another pause, for tests that cannot wait two seconds per KILL.
void RestartJobStarterPausing(std::uint32_t killPauseMs);

// Starts a command line and logs "Prozess ... erstellt." or the failure with the system's
// error text. Returns the new process id, or 0 when it could not be started; gives the
// process's creation time through `creationTime` when that is not null.
std::uint32_t LaunchCommandLine(const char* commandLine, std::uint64_t* creationTime = nullptr);
