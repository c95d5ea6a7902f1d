// Watching processes that tests start through the product's own launcher.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// True while process `pid` runs (it can still be examined).
bool ProcessRuns(std::uint32_t pid);
// Waits up to `ms` until the process can be examined (a process that has just been created
// has no module list until its loader has run); true when it runs.
bool WaitUntilRuns(std::uint32_t pid, int ms = 10000);
// Waits up to `ms` for the process to end; true when it has.
bool WaitUntilGone(std::uint32_t pid, int ms = 10000);
// The test job starters are counted by the ids they write themselves, never by the product's
// own way of telling a job starter, so that a fault there cannot blind the tests too. Each
// line of a starts file begins with the id of the job starter that wrote it.
std::vector<std::uint32_t> StartedIds(const std::string& startsFile);
// Of those, the ones still running.
std::vector<std::uint32_t> RunningStarted(const std::string& startsFile);
// Ends those still running and waits until they are gone.
void EndStarted(const std::string& startsFile);
// Ends the processes `pids` still running and waits until they are gone.
void EndProcesses(const std::vector<std::uint32_t>& pids);
// Waits up to `ms` for `path` to hold at least `lines` lines; returns its content.
std::string WaitForLines(const std::string& path, int lines, int ms = 10000);
