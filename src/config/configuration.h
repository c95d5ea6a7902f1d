// The controller's configuration: the INI file "QVLJOBCTL.INI" beside the executable (which
// is made the current directory), the log and rotation paths, and the database system read
// from the suite's protected settings file. Resolved once at start-up by GetIniValues.
#pragma once

constexpr int kPathBytes = 260;      // 259 characters and the terminator
constexpr int kSuffixBytes = 200;    // the database suffix field
constexpr int kPathPartBytes = 256;  // one part of a split path, 255 characters
constexpr char kIniFileName[] = "QVLJOBCTL.INI";
constexpr char kIniSection[] = "JOBATR";
constexpr char kRotationInsert[] = "_0001";

// Results of GetIniValues.
constexpr int kIniOk = 0;
constexpr int kIniEmptyValue = 10;   // a key present with an empty value, or a path too long
constexpr int kIniNoDatabase = 11;   // no database system in the settings file
constexpr int kIniBadDatabase = 12;  // a database system of no known name

struct ControllerSettings {
    char logPath[kPathBytes];
    char rotationPath[kPathBytes];
    char databaseSuffix[kSuffixBytes];  // "_ORACLE", "_SQLSERVER" or "_MYSQL" after success
};

// Cleared by the run loop, written only by GetIniValues, read-only afterwards.
extern ControllerSettings gControllerSettings;

// Resolves gControllerSettings; returns kIniOk or one of the error results. Paths that do not
// fit their room (an executable directory of more than 246 characters, a settings path of
// more than 259, a log path of more than 254) are refused with kIniEmptyValue rather than cut.
int GetIniValues();

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
