// What the black-box tests lay out and read back in a scratch installation directory.
#pragma once

#include <string>
#include <vector>

// A settings file whose one record gives `database` as DB_SYSTEM (stored form, CR LF lines).
std::string SettingsFileFor(const std::string& database);
// The texts of the log's entries: each line without its stamp, its two blanks and its CR LF.
std::vector<std::string> LogTexts(const std::string& logPath);
