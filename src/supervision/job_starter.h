// Starting the job starter, and ending it before starting it again: through the outside KILL
// command, and where KILL cannot be started or has not ended it in time, by the controller
// itself. A numbered instance ends the process it started, while it is still that process,
// the one its previous run recorded, and any other job starter started with its instance
// number (left by an earlier run); an un-numbered one ends by image name the job starters
// started without an instance number. Processes of another PID namespace (a container's) and
// processes whose arguments cannot be read are never ended by name. The new job starter is
// started once the old ones have ended, so that one instance never runs two. A restart is a
// pass of steps (RestartPass) that the run loop drives, so that it can wait for a stop
// between them. Everything it needs of the run is handed to it (JobStarterControl); it reads
// no process-wide record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/processes.h"
#include "supervision/job_starter_identity.h"

constexpr int kCommandLineBytes = 200;
constexpr std::uint32_t kKillPauseMs = 2000;  // time given to KILL before the next step
// After the pause, how long the start waits for the old job starters to be gone: a slow KILL
// must not leave two running. Past it the controller ends them itself.
constexpr std::uint32_t kEndWaitMs = 10000;
// How long the controller waits for a process it ended itself (TerminateProcess, SIGKILL end
// at once; only a process stuck in the kernel takes longer). Past it the new job starter is
// started all the same, and a line says which one would not end.
constexpr std::uint32_t kForcedEndWaitMs = 5000;
// A process that has only just been started shows an empty command line for a moment (the
// kernel lets its starter go on before the new program's arguments are laid out). A scan of
// the processes looks again at such a process, a millisecond apart, for at most this long in
// all, so that a scan never holds the run loop long however many there are.
constexpr std::uint32_t kFreshProcessLookMs = 20;

// The job starter's image name for a database suffix: "QVLJOBSTR_ORACLE.EXE".
std::string JobStarterImageFor(const char* databaseSuffix);
// The image names of the job starters of every database system.
std::vector<std::string> AllJobStarterImages();

// The programs a run starts, looked for as a command line finds them (beside the controller,
// in the current folder, on PATH), and what a missing one means: without the job starter no
// job starter can be started (a problem: the instance cannot do its work); without KILL each
// restart ends the job starter by the controller's own hand (a warning: the run goes on).
// The start of a run, -check and -status all judge them here.
struct RunProgram {
    std::string label;  // "job starter", "KILL"
    std::string what;   // "job starter QVLJOBSTR_ORACLE.EXE", "KILL"
    std::string path;   // where it was found; "" where it was not
    bool needed;        // true: without it the instance cannot do its work
    // "<what> cannot be found beside the controller, in the current folder or on PATH", and
    // for KILL what the controller does instead.
    std::string MissingText() const;
};
// The job starter of image `jobStarterImage` (none where the image is "", for a
// configuration that names none), then KILL.
std::vector<RunProgram> FindRunPrograms(const std::string& jobStarterImage);

// The job starter this run started last: the one record of it (pid 0 when the start failed
// or none was made yet).
struct JobStarterRecord {
    std::uint32_t pid = 0;
    std::uint64_t creationTime = 0;  // to tell it from a later process that got the same id
    char commandLine[kCommandLineBytes] = "";  // what it was started with
    PlatformProcessWatch* watch = nullptr;     // the run's watch on it, while it runs
};
// A process of the job starter's image found running.
struct FoundProcess {
    std::uint32_t pid;
    std::uint64_t created;
};
// A process named like the job starter that is never ended by name, and why.
enum class SpareReason { kArgumentsUnknown, kOtherAccount };
struct SparedProcess {
    std::uint32_t pid;
    SpareReason why;
};
// What job starter control knows of the run.
struct JobStarterControl {
    std::string image;      // the job starter's image name
    bool numbered = false;  // a numbered instance ...
    long instance = 0;      // ... and its number
    // The account the job starter runs under: the controller's own, which starts it. Only a
    // client of this account is a heartbeat.
    std::string account;
    JobStarterRecord current;
    // The job starter the instance's previous run recorded in its state file (0 for none):
    // the run's first pass ends it too while it is still that process, which works whatever
    // the process's width, also where its arguments cannot be read.
    FoundProcess previous = {0, 0};
    std::vector<std::uint32_t> sparedSaid;  // spared processes already logged, each said once
    bool outputProblemSaid = false;         // that the job starter's output is dropped, said once
};

// The job starter's output file (QVLJOBOUT) kept below the log's rotation size: past it, its
// content goes to its "_0001" name and the file is emptied where the job starter writes on. A
// failure is said once per run.
void RotateJobOutput(JobStarterControl* control);

// True while process `pid` is still the one recorded with that creation time, whatever it is
// named by now (a wrapper script that ran "exec realjob"): the pair names one process for its
// whole life. An id that has ended, or been taken over by another process since (ids are
// reused), is never mistaken for it.
bool RecordedProcessRuns(std::uint32_t pid, std::uint64_t creationTime);

// The running processes of image `image` in the caller's PID namespace and of the caller's
// account whose instance argument is `instance` (kNoInstanceArgument: started without one).
// A process so named whose arguments cannot be read, or that runs under another account,
// matches none; it goes to `spared` (when not null) with the reason, so that the caller can
// say it was spared.
std::vector<FoundProcess> RunningJobStarters(const char* image, long instance,
                                             std::vector<SparedProcess>* spared = nullptr);

// Starts a command line and logs "Prozess ... erstellt." or the failure with the system's
// error text. Returns the new process id, or 0 when it could not be started; gives the
// process's creation time through `creationTime` and a watch on it through `watch`, and the
// error text of a failure through `failure`, when those are not null.
std::uint32_t LaunchCommandLine(const char* commandLine, std::uint64_t* creationTime = nullptr,
                                PlatformProcessWatch** watch = nullptr,
                                std::string* failure = nullptr, const ChildOutput* output = nullptr,
                                std::string* outputProblem = nullptr);

// One process a restart is to end.
struct EndTarget {
    std::uint32_t pid;
    PlatformProcessWatch* watch;  // null when it could not be watched (then looked at by id)
    std::uint64_t created;
    bool killEnds;  // a KILL of this pass is meant to end it
};
// A kill-and-start pass, step by step: PlanRestart, then StartNextKill (each followed by the
// pause) until it gives false, then as the supervision's core decides the wait for the targets' end
// (TargetsEnded) and, for those still there after it, EndTargetsItself and a wait again, then
// FinishRestart and StartJobStarter. Every step returns at once.
struct RestartPass {
    std::string image;  // for the log lines
    std::vector<EndTarget> targets;
    std::vector<std::string> kills;  // KILL's arguments, in order
    std::size_t nextKill = 0;
    bool killFailed = false;  // a KILL could not be started
};
// Works out what the pass ends and with which KILL commands. The pass takes over the watch
// on the job starter the run started; the previous run's is forgotten once looked at.
void PlanRestart(JobStarterControl* control, RestartPass* pass);
// Starts the next KILL; false when there is none left (then no pause follows). One that could
// not be run is also reported to the system's log.
bool StartNextKill(RestartPass* pass);
// True when every target has ended. `waitOn` (when not null) receives the watch of one still
// running, to wait on; null then means some target can only be looked at by id.
bool TargetsEnded(RestartPass* pass, PlatformProcessWatch** waitOn = nullptr);
// True when a target still runs that no KILL of the pass ends: a KILL could not be started,
// or KILL by name spares that target.
bool SomeTargetUnendable(const RestartPass& pass);
// Ends every target still running by the controller's own hand, logging each and why (after
// the wait for their end, `afterWait`, or at once) and reporting each to the system's log;
// false when there was none.
bool EndTargetsItself(RestartPass* pass, bool afterWait);
// Logs each target that is still running after all (when `logLeftovers`: not when a stop
// cut the pass short); then forgets the targets.
void FinishRestart(RestartPass* pass, bool logLeftovers);
// Starts the job starter and records it, with a watch on it where it could be had; false
// when it could not be started (its id is then 0).
bool StartJobStarter(JobStarterControl* control);
// Takes over the job starter the previous run recorded (id, creation time, the command line
// it was started with) as the run's current one, watched, when `keyOn` (QVLADOPT) and
// DecideTakeOver finds it this instance's, still running, under the controller's account.
// The verdict; `why` (when not null) gets the reason in plain words for any other.
TakeOver TakeOverJobStarter(JobStarterControl* control, bool keyOn, std::uint32_t pid,
                            std::uint64_t created, const std::string& commandLine,
                            std::string* why = nullptr);
// Lets go of the watch on the current job starter (the run's end).
void ForgetJobStarterWatch(JobStarterControl* control);
