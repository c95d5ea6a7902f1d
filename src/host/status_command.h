// -status [INSTANCE]: whether the controller of an instance and its job starter are alive,
// in a few plain English lines. Everything is found without connecting to the pipe, so
// that asking is never a heartbeat and never hides the hang it looks for.
#pragma once

constexpr int kStatusHealthy = 0;     // running, job starter alive, heartbeats on time; or a
                                      // restart under way for no longer than one can take
constexpr int kStatusUnhealthy = 1;   // running, but some part is not (the output says which)
constexpr int kStatusUsage = 2;       // the instance is not one that can exist (checked by
                                      // the caller)
constexpr int kStatusNotRunning = 3;  // no controller runs for the instance

// Prints the status of the un-numbered controller ("") or of instance `instanceText`, an
// instance -install takes; returns one of the values above.
int ShowStatus(const char* instanceText);

// -metrics [INSTANCE]: the same facts and verdict as -status, printed as metrics in
// Prometheus' text exposition format (see metrics.h). Returns 0.
int ShowMetrics(const char* instanceText);
