// What the black-box tests lay out and read back in a scratch installation directory.
#pragma once

#include <string>
#include <vector>

// Lays out an installation in `dir`: the controller (QVLJOBCTL.EXE on Windows, qvljobctl on
// Linux), KILL, the built `jobStarter` as QVLJOBSTR_ORACLE.EXE and a settings file naming
// Oracle. Returns the controller's path, or "" when a copy failed.
// With `controller` given, that built executable stands in for the controller (copied under
// the controller's name): the test controller, with its short heartbeat time-out.
std::string LayOutInstallation(const std::string& dir, const std::string& jobStarter,
                               const std::string& controller = "");

// A settings file whose one record gives `database` as DB_SYSTEM (stored form, CR LF lines).
std::string SettingsFileFor(const std::string& database);
// The texts of the log's entries: each line without its stamp, its two blanks and its CR LF.
std::vector<std::string> LogTexts(const std::string& logPath);
