// -check [INSTANCE]: whether an instance could start and do its work, found before it is
// started, by any account, changing nothing: the INI's section, the settings file and its
// database system, KILL and the job starter, and whether the account the service runs as may
// write the log's folder (the state file's too) and the metrics folder. One line per finding.
#pragma once

constexpr int kCheckCanStart = 0;     // every finding is sound (warnings aside)
constexpr int kCheckCannotStart = 1;  // at least one problem (the output says which)

// Checks the un-numbered controller ("") or instance `instanceText`, an instance -install
// takes; returns one of the values above.
int ShowCheck(const char* instanceText);
