// The run's state as it is published for -status and monitoring scripts: one record, written
// to the instance's state file whenever it changes in a way they show. A write that fails is
// said once per run (a log line, a console line, an event-log entry, each with the file's
// path and the system's reason) and otherwise ignored like a failed log entry.
#pragma once

#include <string>

#include "supervision/run_state.h"

// The record; the run fills it in and calls Publish.
extern RunState gRunState;

// Begins publishing to the file at `statePath` (empty: nothing is published); the record is
// cleared. `tell` (may be null) prints a line for a console run.
void BeginPublishing(const std::string& statePath, void (*tell)(const std::string& line));
// Writes the record now.
void Publish();
// Writes the record after a heartbeat: at once when it is the job starter's first, else only
// when the last write is kStateRefreshMs old, so that a storm of heartbeats costs nothing.
void PublishHeartbeat(bool firstOfJobStarter);
// Writes the record one last time, marked as ended, and stops publishing.
void EndPublishing();
