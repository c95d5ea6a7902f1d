// GetIniValues: where the controller's files are and which job starter it runs.
#include "config/configuration.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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
constexpr char kTimeoutKey[] = "QVLTIMEOUT";
constexpr char kTimeoutDefault[] = "300000";
constexpr char kDatabaseKey[] = "DB_SYSTEM";
constexpr const char* kKnownKeys[] = {kSettingsKey, kLogKey, kTimeoutKey};

IniExplanation gExplanation;
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

// Records the plain-words reason for a failure and returns its result.
int Explain(int result, const std::string& text) {
    gExplanation.problem = text;
    return result;
}

std::string KeyOf(const char* key) {
    return std::string(key) + " in section [" + kIniSection + "] of " + gExplanation.iniPath;
}

// A relative path as the controller resolves it: from its own folder.
std::string FullPath(const char* exeDir, const char* path) {
    const bool absolute = path[0] == '\\' || path[0] == '/' || (path[0] && path[1] == ':');
    if (absolute) return path;
    const bool dotted = path[0] == '.' && (path[1] == '\\' || path[1] == '/');
    return std::string(exeDir) + (dotted ? path + 2 : path);
}

// The heartbeat time-out's text: a whole number of milliseconds within the bounds.
bool ParseTimeout(const char* text, std::uint32_t* ms) {
    const size_t n = std::strlen(text);
    if (n == 0 || n > 9 || std::strspn(text, "0123456789") != n) return false;
    const unsigned long value = std::strtoul(text, nullptr, 10);
    if (value < kMinHeartbeatTimeoutMs || value > kMaxHeartbeatTimeoutMs) return false;
    *ms = static_cast<std::uint32_t>(value);
    return true;
}

void FindUnknownKeys(const char* iniPath) {
    for (const std::string& key : PlatformProfileKeys(kIniSection, iniPath)) {
        bool known = false;
        for (const char* k : kKnownKeys)
            known = known || EqualsIgnoringAsciiCase(key.c_str(), k);
        if (!known) gExplanation.unknownKeys.push_back(key);
    }
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
    gExplanation = IniExplanation{};
    gControllerSettings.heartbeatTimeoutMs = kDefaultHeartbeatTimeoutMs;
    char exePath[kPathBytes] = "unknown";
    if (!PlatformExecutablePath(exePath, sizeof exePath))
        Join(exePath, sizeof exePath, {"unknown"});

    PathParts exe;
    char exeDir[kPathBytes] = {}, iniPath[kPathBytes] = {};
    if (!SplitPath(exePath, &exe) || !Join(exeDir, kMaxExeDirChars + 1, {exe.drive, exe.dir})) {
        return Explain(kIniEmptyValue, std::string("The controller's folder is longer than ") +
                                           std::to_string(kMaxExeDirChars) +
                                           " characters: " + exePath);
    }
    if (exeDir[0] != '\0') PlatformSetCurrentDirectory(exeDir);  // a failure is ignored
    Join(iniPath, sizeof iniPath, {exeDir, kIniFileName});
    gExplanation.iniPath = iniPath;
    FindUnknownKeys(iniPath);

    char settingsPath[kScratchBytes], logPath[kScratchBytes], timeout[kScratchBytes];
    for (const char* key : kKnownKeys) {
        const char* def = key == kSettingsKey ? kSettingsDefault
                          : key == kLogKey    ? kLogDefault
                                              : kTimeoutDefault;
        char* out = key == kSettingsKey ? settingsPath : key == kLogKey ? logPath : timeout;
        if (ReadKey(iniPath, key, def, out) == 0) {
            return Explain(kIniEmptyValue, "The key " + KeyOf(key) + " has an empty value.");
        }
    }
    if (!Fits(settingsPath, kPathBytes - 1) || !Fits(logPath, kMaxLogPathChars)) {
        const bool settings = !Fits(settingsPath, kPathBytes - 1);
        return Explain(
            kIniEmptyValue,
            "The value of " + KeyOf(settings ? kSettingsKey : kLogKey) + " is longer than " +
                std::to_string(settings ? kPathBytes - 1 : kMaxLogPathChars) + " characters.");
    }
    if (!ParseTimeout(timeout, &gControllerSettings.heartbeatTimeoutMs)) {
        return Explain(kIniEmptyValue, "The value '" + std::string(timeout) + "' of " +
                                           KeyOf(kTimeoutKey) +
                                           " is not a whole number of milliseconds from " +
                                           std::to_string(kMinHeartbeatTimeoutMs) + " to " +
                                           std::to_string(kMaxHeartbeatTimeoutMs) + ".");
    }

    PathParts log;
    if (!SplitPath(logPath, &log)) {
        return Explain(kIniEmptyValue, "The log path '" + std::string(logPath) + "' of " +
                                           KeyOf(kLogKey) + " has a part that is too long.");
    }
    Join(gControllerSettings.logPath, kPathBytes, {logPath});
    Join(gControllerSettings.rotationPath, kPathBytes,
         {log.drive, log.dir, log.fname, kRotationInsert, log.ext});

    std::memset(gControllerSettings.databaseSuffix, 0, kSuffixBytes);
    ReadProtectedValue("", kDatabaseKey, 0, settingsPath);
    CopySubstring(gProtectedRecord.value, 0, 0, gControllerSettings.databaseSuffix, kSuffixBytes);
    const std::string stored = gControllerSettings.databaseSuffix;
    const int result = MapDatabase(gControllerSettings.databaseSuffix);
    const std::string settings = FullPath(exeDir, settingsPath);
    if (result == kIniNoDatabase) {
        std::FILE* f = PlatformOpenFile(settingsPath, "rb");
        if (f) std::fclose(f);
        return Explain(result, f ? "The settings file " + settings +
                                       " holds no database system (no " + kDatabaseKey + " record)."
                                 : "The settings file " + settings + " (" + KeyOf(kSettingsKey) +
                                       ") cannot be opened.");
    }
    if (result == kIniBadDatabase) {
        std::string accepted;
        for (const auto& db : kDatabases)
            accepted += std::string(accepted.empty() ? "" : ", ") + db.stored;
        return Explain(result, "The settings file " + settings + " names the database system '" +
                                   stored + "'; accepted are " + accepted + ".");
    }
    return result;
}

const IniExplanation& LastIniExplanation() {
    return gExplanation;
}
