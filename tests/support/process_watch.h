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
// Every process of the test installations' job starter, QVLJOBSTR_ORACLE.EXE, by either of
// its names (a link's or a script's too), numbered or not.
std::vector<std::uint32_t> AllJobStarters();
// Ends every process of the test installations' job starter, QVLJOBSTR_ORACLE.EXE, numbered
// or not, and waits until they are gone. Only for tests isolated from the machine.
void EndAllJobStarters();
// Waits up to `ms` for `path` to hold at least `lines` lines; returns its content.
std::string WaitForLines(const std::string& path, int lines, int ms = 10000);
