// How healthy an instance is, in three steps: its facts are gathered once (the service
// manager, the pipe, the state file, the processes), judged once, and then rendered as many
// ways as needed: -status's text for a person, the metrics for Prometheus. Two renderings
// never judge twice. Everything is found without connecting to the pipe, so that asking is
// never a heartbeat and never hides the hang it looks for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/pipe_client.h"
#include "platform/service_manager.h"
#include "supervision/job_starter.h"
#include "supervision/run_state.h"

struct HealthFacts {
    std::int64_t now = 0;
    std::string instanceText;  // "" or "3"
    // The service manager (not asked from inside the controller).
    bool serviceAsked = false;
    bool serviceKnown = false;  // it answered
    std::string serviceError;   // why it did not
    ServiceQuery service;
    // The configuration.
    int config = 0;
    std::string configProblem;
    // The state file.
    std::string statePath;
    bool stateRead = false;
    bool stateMissing = false;  // there is no such file (or folder) at all
    std::string stateProblem;   // why it was not read
    RunState state;
    // The processes: each still the one the state file recorded.
    bool controllerAlive = false;  // and its run has not ended
    // The pipe is served by a process that may be this installation's controller (one of an
    // account that may run it, or one whose account the system does not tell the asker).
    bool pipeServed = false;
    PipeHolder pipeHolder;  // who holds the pipe's name, as far as the system tells
    bool jobStarterAlive = false;
    // The programs a restart starts that cannot be found.
    std::vector<RunProgram> missingPrograms;
};

enum class Health { kHealthy, kStarting, kUnhealthy, kNotRunning };

struct Verdict {
    Health health = Health::kNotRunning;
    bool running = false;  // a controller runs for the instance
    std::string why;       // starting or unhealthy: the first part found wanting
};

// Gathers the facts of the instance `instanceText` from outside its controller, with what
// every user may read. Reads the configuration (GetIniValues) to find the state file.
HealthFacts GatherHealthFacts(const std::string& instanceText);
// The facts of the running controller's own instance `instanceText`, as it knows them itself
// from its record `state`.
HealthFacts OwnHealthFacts(const RunState& state, const std::string& instanceText);
Verdict JudgeHealth(const HealthFacts& facts);
// The verdict in a few words: "healthy", "starting: ...", "unhealthy: ...", "not running".
std::string HealthLine(const Verdict& verdict);

// The pipe's holder in a few words: "process 4025 (python3) of account 65534", as far as the
// system tells.
std::string PipeHolderText(const PipeHolder& holder);
// The job starter's image name, the first word of the command line the state file recorded.
std::string RecordedJobStarterImage(const RunState& state);
// The longest a job starter's restart may be under way before it is called hung, in seconds.
std::int64_t RestartAllowanceSeconds();
