// The run's state as it is published for -status and monitoring scripts: one record, written
// to the instance's state file whenever it changes in a way they show, and as metrics to the
// textfile collectors' folder when one is configured. A write that fails is said once per run
// (a log line, a console line, an event-log entry, each with the file's path and the
// system's reason) and otherwise ignored like a failed log entry.
#pragma once

#include <string>

#include "supervision/job_starter.h"
#include "supervision/run_state.h"

// What a run publishes, and where.
struct Publication {
    RunState state;  // the run's record; the job starter's fields come from `jobStarter`
    const JobStarterRecord* jobStarter = nullptr;
    std::string instanceText;                         // "" or "3"
    std::string path;                                 // the state file; empty: nothing is published
    std::string metricsPath;                          // empty: no metrics file
    void (*tell)(const std::string& line) = nullptr;  // prints a line for a console run
    bool stateFailureSaid = false;
    bool metricsFailureSaid = false;
};

// Begins publishing the state of instance `instanceText` to the file at `statePath` (empty:
// nothing is published) and its metrics into folder `metricsDir` (empty: none); the record is
// cleared. The job starter's fields are those of `jobStarter`, read at every write. `tell`
// (may be null) prints a line for a console run.
void BeginPublishing(Publication* p, const std::string& statePath, const std::string& metricsDir,
                     const std::string& instanceText, const JobStarterRecord* jobStarter,
                     void (*tell)(const std::string& line));
// Writes the record now (also its time, `refreshed`), and tells the service manager that the
// loop makes progress.
void Publish(Publication* p);
// Records a heartbeat: written at once when it is the job starter's first, else with the next
// refresh (the supervision's, at most kStateRefreshMs later), so that a storm of heartbeats
// costs nothing.
void PublishHeartbeat(Publication* p, bool firstOfJobStarter);
// Writes the record one last time, marked as ended, and stops publishing. A run ended by a
// stop (`stopped`) removes its metrics file; any other end rewrites it.
void EndPublishing(Publication* p, bool stopped);
