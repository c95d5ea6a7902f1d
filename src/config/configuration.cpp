// GetIniValues: where the controller's files are and which job starter it runs.
#include "config/configuration.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/ascii_text.h"
#include "config/protected_settings.h"
#include "platform/platform.h"

ControllerSettings gControllerSettings;

namespace {

constexpr char kSettingsKey[] = "QVLINI";
constexpr char kSettingsDefault[] = ".\\QUARVELIN.INI";
constexpr char kLogKey[] = "QVLLOG";
constexpr char kLogDefault[] = ".\\QVLJOBCTL.LOG";
constexpr char kDatabaseKey[] = "DB_SYSTEM";
// Room to read an INI value whole, so a value longer than its path room is seen as such
// and refused instead of being cut into a different, valid path.
constexpr unsigned kScratchBytes = 4 * kPathBytes;
constexpr size_t kMaxExeDirChars = kPathBytes - 1 - (sizeof kIniFileName - 1);      // 246
constexpr size_t kMaxLogPathChars = kPathBytes - 1 - (sizeof kRotationInsert - 1);  // 254

struct DatabaseName {
    const char* stored;
    const char* suffix;
};
constexpr DatabaseName kDatabases[] = {
    {"ORACLE", "_ORACLE"}, {"MSSQL", "_SQLSERVER"}, {"MYSQL", "_MYSQL"}};

bool Fits(const char* s, size_t maxChars) {
    return std::strlen(s) <= maxChars;
}

// Joins the parts into `out`; false, with `out` empty, when they do not fit `size`.
bool Join(char* out, size_t size, std::initializer_list<const char*> parts) {
    size_t used = 0;
    for (const char* p : parts) {
        const size_t n = std::strlen(p);
        if (used + n >= size) {
            out[0] = '\0';
            return false;
        }
        std::memcpy(out + used, p, n);
        used += n;
    }
    out[used] = '\0';
    return true;
}

// Reads one key of the controller's section; 0 means present with an empty value.
unsigned ReadKey(const char* iniPath, const char* key, const char* def, char* out) {
    return PlatformReadProfileString(kIniSection, key, def, out, kScratchBytes, iniPath);
}

int MapDatabase(char* suffix) {
    if (suffix[0] == '\0') return kIniNoDatabase;
    UpperCaseAscii(suffix);
    for (const auto& db : kDatabases) {
        if (std::strcmp(suffix, db.stored) == 0) {
            Join(suffix, kSuffixBytes, {db.suffix});
            return kIniOk;
        }
    }
    return kIniBadDatabase;
}

}  // namespace

bool SplitPath(const char* path, PathParts* parts) {
    std::memset(parts, 0, sizeof *parts);
    const size_t n = std::strlen(path);
    size_t start = (n >= 2 && path[1] == ':') ? 2 : 0;
    long lastSep = -1, lastDot = -1;
    for (size_t i = start; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (PlatformIsLeadByte(c) && i + 1 < n) {
            ++i;  // the trail byte may look like '\' but is part of the character
            continue;
        }
        if (c == '\\' || c == '/') lastSep = static_cast<long>(i);
        if (c == '.') lastDot = static_cast<long>(i);
    }
    const size_t dirEnd = lastSep >= 0 ? static_cast<size_t>(lastSep) + 1 : start;
    const size_t extStart = lastDot >= static_cast<long>(dirEnd) ? static_cast<size_t>(lastDot) : n;
    if (dirEnd - start >= kPathPartBytes || extStart - dirEnd >= kPathPartBytes ||
        n - extStart >= kPathPartBytes) {
        return false;
    }
    std::memcpy(parts->drive, path, start);
    std::memcpy(parts->dir, path + start, dirEnd - start);
    std::memcpy(parts->fname, path + dirEnd, extStart - dirEnd);
    std::memcpy(parts->ext, path + extStart, n - extStart);
    return true;
}

int GetIniValues() {
    char exePath[kPathBytes] = "unknown";
    if (!PlatformExecutablePath(exePath, sizeof exePath))
        Join(exePath, sizeof exePath, {"unknown"});

    PathParts exe;
    if (!SplitPath(exePath, &exe)) return kIniEmptyValue;
    char exeDir[kPathBytes] = {}, iniPath[kPathBytes] = {};
    if (!Join(exeDir, kMaxExeDirChars + 1, {exe.drive, exe.dir})) return kIniEmptyValue;
    if (exeDir[0] != '\0') PlatformSetCurrentDirectory(exeDir);  // a failure is ignored
    Join(iniPath, sizeof iniPath, {exeDir, kIniFileName});

    char settingsPath[kScratchBytes], logPath[kScratchBytes];
    if (ReadKey(iniPath, kSettingsKey, kSettingsDefault, settingsPath) == 0) return kIniEmptyValue;
    if (ReadKey(iniPath, kLogKey, kLogDefault, logPath) == 0) return kIniEmptyValue;
    if (!Fits(settingsPath, kPathBytes - 1) || !Fits(logPath, kMaxLogPathChars)) {
        return kIniEmptyValue;
    }

    PathParts log;
    if (!SplitPath(logPath, &log)) return kIniEmptyValue;
    Join(gControllerSettings.logPath, kPathBytes, {logPath});
    Join(gControllerSettings.rotationPath, kPathBytes,
         {log.drive, log.dir, log.fname, kRotationInsert, log.ext});

    std::memset(gControllerSettings.databaseSuffix, 0, kSuffixBytes);
    ReadProtectedValue("", kDatabaseKey, 0, settingsPath);
    CopySubstring(gProtectedRecord.value, 0, 0, gControllerSettings.databaseSuffix, kSuffixBytes);
    return MapDatabase(gControllerSettings.databaseSuffix);
}
