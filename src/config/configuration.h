// The controller's configuration: the INI file "QVLJOBCTL.INI" beside the executable (which
// is made the current directory), the log and rotation paths, and the database system read
// from the suite's protected settings file. Resolved once at start-up by GetIniValues.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int kPathBytes = 260;      // 259 characters and the terminator
constexpr int kSuffixBytes = 200;    // the database suffix field
constexpr int kPathPartBytes = 256;  // one part of a split path, 255 characters
constexpr char kIniFileName[] = "QVLJOBCTL.INI";
constexpr char kIniSection[] = "JOBATR";
constexpr char kRotationInsert[] = "_0001";

// The heartbeat time-out: 300000 ms unless the INI's QVLTIMEOUT gives another value, which
// must lie within these bounds (a second at least, so that a restart cannot follow a restart
// without pause; a day at most).
constexpr std::uint32_t kDefaultHeartbeatTimeoutMs = 300000;
constexpr std::uint32_t kMinHeartbeatTimeoutMs = 1000;
constexpr std::uint32_t kMaxHeartbeatTimeoutMs = 86400000;

// QVLRESTARTONEXIT: 1 restarts a job starter that exited without waiting for the heartbeat
// time-out; 0, the default, leaves it to the time-out.
constexpr std::uint32_t kDefaultRestartOnExit = 0;
// QVLADOPT: 1 lets a starting controller take over the job starter its previous run left
// running (the same process, of its account, this instance's), instead of ending it and
// starting another; 0, the default, ends it as ever.
constexpr std::uint32_t kDefaultAdopt = 0;
// QVLSELFWATCH: a loop that has made no progress for this many milliseconds ends the
// controller with a failure, so that the service manager's recovery starts it again (0: off).
// The loop makes progress at least every 10 s; the default leaves a step that blocks (a slow
// disk) 10 s more before it counts as frozen, and acts before systemd's watchdog (25 s).
constexpr std::uint32_t kDefaultSelfWatchMs = 20000;
constexpr std::uint32_t kMinSelfWatchMs = 15000;  // above the loop's 10 s refresh, with room
constexpr std::uint32_t kMaxSelfWatchMs = 86400000;
// QVLMETRICSDIR: a folder for the metrics file of the textfile collectors; room is kept for
// the file's name ("qvljobctl999999999.prom") within a path of 259 characters.
constexpr int kMetricsFileNameChars = 23;
constexpr int kMaxMetricsDirChars = kPathBytes - 1 - 1 - kMetricsFileNameChars;

// QVLDUMPDIR: a folder for the reports of hung job starters (empty: none are made); room is
// kept for a report's name ("QVLJOBCTL999999999_20261209-215729_4294967295.dmp").
constexpr int kHangReportNameChars = 50;
constexpr int kMaxDumpDirChars = kPathBytes - 1 - 1 - kHangReportNameChars;
// QVLDUMPKEEP: how many reports the folder keeps, the newest.
constexpr std::uint32_t kDefaultDumpKeep = 5;
constexpr std::uint32_t kMaxDumpKeep = 1000;

// Results of GetIniValues.
constexpr int kIniOk = 0;
constexpr int kIniEmptyValue = 10;   // a key present with an empty value, a path too long, or
                                     // a heartbeat time-out that is not a number in bounds
constexpr int kIniNoDatabase = 11;   // no database system in the settings file
constexpr int kIniBadDatabase = 12;  // a database system of no known name

struct ControllerSettings {
    char settingsPath[kPathBytes];  // the suite's settings file (QVLINI)
    char logPath[kPathBytes];
    char rotationPath[kPathBytes];
    char databaseSuffix[kSuffixBytes];  // "_ORACLE", "_SQLSERVER" or "_MYSQL" after success
    std::uint32_t heartbeatTimeoutMs;
    std::uint32_t restartOnExit;  // 0 or 1
    std::uint32_t adopt;          // QVLADOPT: 0 or 1
    std::uint32_t selfWatchMs;    // QVLSELFWATCH: 0 (off) or the limit
    char metricsDir[kPathBytes];  // "" when no metrics file is written
    char dumpDir[kPathBytes];     // "" when no hang report is made
    std::uint32_t dumpKeep;       // the reports kept
    // QVLJOBOUT: a file for the job starter's standard output and error, "" for none (it then
    // writes where the controller's output goes; a service's to the journal), and the name it
    // is rotated to, as the log is.
    char jobOutput[kPathBytes];
    char jobOutputRotation[kPathBytes];
};

// Written only by GetIniValues (which clears it first), read-only afterwards.
extern ControllerSettings gControllerSettings;

// Resolves gControllerSettings for the un-numbered controller ("") or instance
// `instanceText`: each key from the instance's own section [JOBATR<N>] where that has it,
// else from [JOBATR], else its default. Returns kIniOk or one of the error results. Paths that do
// not fit their room (an executable directory of more than 246 characters, a settings path of more
// than 259, a log path of more than 254) are refused with kIniEmptyValue rather than cut. Every key
// is read even after one failed, so that the log's path is known (and the failure can be logged)
// whenever QVLLOG itself is sound.
int GetIniValues(const std::string& instanceText = "");

// The database suffixes of every database system the settings file may name ("_ORACLE", ...).
std::vector<std::string> KnownDatabaseSuffixes();

// The keys of the INI's section, in the order they are read.
std::vector<std::string> IniKeyNames();

// Whether the controller takes `value` for key `key` of its section, checked as GetIniValues
// checks it; when not, `why` says what a valid value is (or that the key is unknown).
bool IniValueValid(const std::string& key, const std::string& value, std::string* why);

// The INI text `text` with KEY=VALUE in section [SECTION] (names matched without regard to
// case, as the profile reader matches them): a line of the key there gets the value; else
// the line goes after the section's last key (after its heading when it has none); a missing
// section is appended. Lines end as the text's first line does (CR LF when it has none).
std::string IniTextWithValue(const std::string& text, const std::string& section,
                             const std::string& key, const std::string& value);

// For a console run and -status, in plain words: why the last GetIniValues failed, naming
// the file, the key or the value (empty after success); and the keys of the controller's
// section that it does not know (a typo such as QVLLOGG would otherwise pass unseen).
struct IniSource {
    std::string key;
    std::string value;    // in effect (the default where no section has the key)
    std::string section;  // "JOBATR3", "JOBATR", or "" for the default
};
struct IniKeyFound {
    std::string key;
    std::string section;
};
struct IniExplanation {
    std::string problem;
    std::vector<IniKeyFound> unknownKeys;
    std::string iniPath;            // the INI file that was read
    std::vector<IniSource> values;  // every key, where its value in effect came from
};
const IniExplanation& LastIniExplanation();
// "<INI> has the key <KEY> in section [<SECTION>], which the controller does not know".
std::string UnknownKeyText(const IniKeyFound& found);

// A path split into drive ("C:" or empty), directory (up to and including the last '\' or
// '/'), file name and extension (from the last '.' after the directory). A double-byte
// character's second byte is never taken for a separator or a dot.
struct PathParts {
    char drive[3];
    char dir[kPathPartBytes];
    char fname[kPathPartBytes];
    char ext[kPathPartBytes];
};
// False, with every part empty, when a part would not fit its room.
bool SplitPath(const char* path, PathParts* parts);
