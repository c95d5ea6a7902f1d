// Starting the job starter, and ending it before starting it again: through the outside KILL
// command, and where KILL cannot be started or has not ended it in time, by the controller
// itself. A numbered instance ends the process it started, while it is still that process,
// the one its previous run recorded, and any other job starter started with its instance
// number (left by an earlier run); an un-numbered one ends by image name the job starters
// started without an instance number. Processes of another PID namespace (a container's) and
// processes whose arguments cannot be read are never ended by name. The new job starter is
// started once the old ones have ended, so that one instance never runs two. A restart is a
// pass of steps (RestartPass) that the run loop drives, so that it can wait for a stop
// between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

constexpr int kCommandLineBytes = 200;
constexpr std::uint32_t kKillPauseMs = 2000;  // time given to KILL before the next step
// After the pause, how long the start waits for the old job starters to be gone: a slow KILL
// must not leave two running. Past it the controller ends them itself.
constexpr std::uint32_t kEndWaitMs = 10000;
// How long the controller waits for a process it ended itself (TerminateProcess, SIGKILL end
// at once; only a process stuck in the kernel takes longer). Past it the new job starter is
// started all the same, and a line says which one would not end.
constexpr std::uint32_t kForcedEndWaitMs = 5000;
constexpr long kNoInstanceArgument = -1;

// The job starter this run started last (pid 0 when the start failed or none was made yet).
struct JobStarterState {
    std::uint32_t pid;
    std::uint64_t creationTime;           // its creation time, to tell it from a later process
    char commandLine[kCommandLineBytes];  // what it was started with
};
// Written only by job starter control (tests set it up too); the run loop reads it to publish
// it.
extern JobStarterState gJobStarter;

// Forgets the job starter at the start of a run. `previousPid` and `previousCreated` are the
// job starter the instance's previous run recorded in its state file (0 for none): the run's
// first pass ends it too while it is still that process, which works whatever the process's
// width, also where its arguments cannot be read.
void ResetJobStarter(std::uint32_t previousPid = 0, std::uint64_t previousCreated = 0);

// True while process `pid` is still the one recorded with that image name and creation time
// (see HasImage). An id that has ended, or been taken over by another process since (ids are
// reused), is never mistaken for it.
bool IsRecordedProcess(std::uint32_t pid, const char* image, std::uint64_t creationTime);
// True when either name of the process, its executable's or the program it was started as
// (a link's name, a script's), is `image`, compared without regard to case.
bool HasImage(const ProcessIdentity& identity, const char* image);
// The job starter's image name for the configured database system: "QVLJOBSTR_ORACLE.EXE".
void JobStarterImage(char* image, std::size_t size);

// A process of the job starter's image found running.
struct FoundProcess {
    std::uint32_t pid;
    std::uint64_t created;
};
// The running processes of image `image` in the caller's PID namespace whose instance argument
// is `instance` (kNoInstanceArgument: started without one). A process's instance argument is
// its first argument when that is a plain decimal number (a numbered controller always gives
// its job starter one). A process whose arguments cannot be read matches no instance; its id
// goes to `unknown` (when not null), so that the caller can say it was spared.
std::vector<FoundProcess> RunningJobStarters(const char* image, long instance,
                                             std::vector<std::uint32_t>* unknown = nullptr);

// Starts a command line and logs "Prozess ... erstellt." or the failure with the system's
// error text. Returns the new process id, or 0 when it could not be started; gives the
// process's creation time through `creationTime` and a watch on it through `watch` when those
// are not null.
std::uint32_t LaunchCommandLine(const char* commandLine, std::uint64_t* creationTime = nullptr,
                                PlatformProcessWatch** watch = nullptr);

// One process a restart is to end.
struct EndTarget {
    std::uint32_t pid;
    PlatformProcessWatch* watch;  // null when it could not be watched (then looked at by id)
    std::uint64_t created;
    bool killEnds;  // a KILL of this pass is meant to end it
};
// A kill-and-start pass, step by step: PlanRestart, then StartNextKill (each followed by the
// pause) until it gives false, then as WhatAfterKills says the wait for the targets' end
// (TargetsEnded) and, for those still there after it, EndTargetsItself and a wait again, then
// FinishRestart and StartJobStarter. Every step returns at once.
struct RestartPass {
    std::vector<EndTarget> targets;
    std::vector<std::string> kills;  // KILL's arguments, in order
    std::size_t nextKill = 0;
    bool killFailed = false;  // a KILL could not be started
};
// Works out what the pass ends and with which KILL commands. `current` (may be null) is the
// run's watch on the job starter it started; the pass takes it over.
void PlanRestart(RestartPass* pass, PlatformProcessWatch* current);
// Starts the next KILL; false when there is none left (then no pause follows).
bool StartNextKill(RestartPass* pass);
// True when every target has ended. `waitOn` (when not null) receives the watch of one still
// running, to wait on; null then means some target can only be looked at by id.
bool TargetsEnded(RestartPass* pass, PlatformProcessWatch** waitOn = nullptr);
// What follows once the pass's KILLs are started: the start (every target has ended), the
// wait for their end, or at once the controller's own end of them, when a KILL could not be
// started or no KILL of the pass ends a target still running.
enum class AfterKills { kStart, kAwaitEnd, kEndItself };
AfterKills WhatAfterKills(RestartPass* pass);
// Ends every target still running by the controller's own hand, logging each and why (after
// the wait for their end, `afterWait`, or at once); false when there was none.
bool EndTargetsItself(RestartPass* pass, bool afterWait);
// Logs each target that is still running after all (when `logLeftovers`: not when a stop
// cut the pass short); then forgets the targets.
void FinishRestart(RestartPass* pass, bool logLeftovers);
// Starts the job starter and remembers it; returns a watch on it (null when it could not be
// started or watched).
PlatformProcessWatch* StartJobStarter();
