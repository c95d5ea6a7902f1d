// GetIniValues: where the controller's files are and which job starter it runs.
#include "config/configuration.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <initializer_list>

#include "config/protected_settings.h"
#include "platform/ascii_text.h"
#include "platform/files.h"
#include "platform/system.h"

ControllerSettings gControllerSettings;

namespace {

constexpr char kDatabaseKey[] = "DB_SYSTEM";

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

// ---- The keys of [JOBATR] ------------------------------------------------------------------
// Each takes its value into the settings, checking it; false when the value is refused.

bool TakeSettingsPath(const char* value, ControllerSettings* settings) {
    return Fits(value, kPathBytes - 1) && Join(settings->settingsPath, kPathBytes, {value});
}

// A rotated file's path (the log, the job starter's output) and the name it is rotated to
// ("<name>_0001<ext>"), each within kPathBytes.
bool TakeRotatedPath(const char* value, char* path, char* rotation) {
    PathParts parts;
    if (!Fits(value, kMaxLogPathChars) || !SplitPath(value, &parts)) return false;
    return Join(path, kPathBytes, {value}) &&
           Join(rotation, kPathBytes,
                {parts.drive, parts.dir, parts.fname, kRotationInsert, parts.ext});
}

bool TakeLogPath(const char* value, ControllerSettings* settings) {
    return TakeRotatedPath(value, settings->logPath, settings->rotationPath);
}

// A whole number written with digits only, within [least, most].
bool TakeNumber(const char* value, std::uint32_t least, std::uint32_t most, std::uint32_t* out) {
    const size_t n = std::strlen(value);
    if (n == 0 || n > 9 || std::strspn(value, "0123456789") != n) return false;
    const unsigned long number = std::strtoul(value, nullptr, 10);
    if (number < least || number > most) return false;
    *out = static_cast<std::uint32_t>(number);
    return true;
}

bool TakeTimeout(const char* value, ControllerSettings* settings) {
    return TakeNumber(value, kMinHeartbeatTimeoutMs, kMaxHeartbeatTimeoutMs,
                      &settings->heartbeatTimeoutMs);
}

bool TakeRestartOnExit(const char* value, ControllerSettings* settings) {
    return TakeNumber(value, 0, 1, &settings->restartOnExit) && std::strlen(value) == 1;
}

bool TakeAdopt(const char* value, ControllerSettings* settings) {
    return TakeNumber(value, 0, 1, &settings->adopt) && std::strlen(value) == 1;
}

bool TakeSelfWatch(const char* value, ControllerSettings* settings) {
    if (std::strcmp(value, "0") == 0) {
        settings->selfWatchMs = 0;
        return true;
    }
    return TakeNumber(value, kMinSelfWatchMs, kMaxSelfWatchMs, &settings->selfWatchMs);
}

bool TakeMetricsDir(const char* value, ControllerSettings* settings) {
    return Fits(value, kMaxMetricsDirChars) && Join(settings->metricsDir, kPathBytes, {value});
}

bool TakeDumpDir(const char* value, ControllerSettings* settings) {
    return Fits(value, kMaxDumpDirChars) && Join(settings->dumpDir, kPathBytes, {value});
}

bool TakeJobOutput(const char* value, ControllerSettings* settings) {
    return TakeRotatedPath(value, settings->jobOutput, settings->jobOutputRotation);
}

bool TakeDumpKeep(const char* value, ControllerSettings* settings) {
    return TakeNumber(value, 1, kMaxDumpKeep, &settings->dumpKeep);
}

// One row per key: its name, its default, whether an empty value just means "off", how it is
// taken (and checked), and what a valid value is, for the reason printed when it is not.
struct IniKey {
    const char* name;
    const char* def;
    bool emptyIsOff;
    bool (*take)(const char* value, ControllerSettings* settings);
    const char* valid;
};
const IniKey kIniKeys[] = {
    {"QVLINI", ".\\QUARVELIN.INI", false, TakeSettingsPath, "a path of at most 259 characters"},
    {"QVLLOG", ".\\QVLJOBCTL.LOG", false, TakeLogPath,
     "a path of at most 254 characters whose parts fit"},
    {"QVLTIMEOUT", "300000", false, TakeTimeout,
     "a whole number of milliseconds from 1000 to 86400000"},
    {"QVLRESTARTONEXIT", "0", false, TakeRestartOnExit, "0 or 1"},
    {"QVLADOPT", "0", false, TakeAdopt, "0 or 1"},
    {"QVLSELFWATCH", "20000", false, TakeSelfWatch,
     "0 (off) or a whole number of milliseconds from 15000 to 86400000"},
    {"QVLMETRICSDIR", "", true, TakeMetricsDir, "a folder's path of at most 235 characters"},
    {"QVLDUMPDIR", "", true, TakeDumpDir, "a folder's path of at most 208 characters"},
    {"QVLDUMPKEEP", "5", false, TakeDumpKeep, "a whole number from 1 to 1000"},
    {"QVLJOBOUT", "", true, TakeJobOutput, "a path of at most 254 characters whose parts fit"},
};

// Records the plain-words reason for a failure and returns its result.
int Explain(int result, const std::string& text) {
    gExplanation.problem = text;
    return result;
}

std::string KeyOf(const char* key, const std::string& section = kIniSection) {
    return std::string(key) + " in section [" + (section.empty() ? kIniSection : section) +
           "] of " + gExplanation.iniPath;
}

// A relative path as the controller resolves it: from its own folder.
std::string FullPath(const char* exeDir, const char* path) {
    const bool absolute = path[0] == '\\' || path[0] == '/' || (path[0] && path[1] == ':');
    if (absolute) return path;
    const bool dotted = path[0] == '.' && (path[1] == '\\' || path[1] == '/');
    return std::string(exeDir) + (dotted ? path + 2 : path);
}

// What a section gives for a key: its value (empty ones included) or, where the section
// does not have the key, nothing.
constexpr char kAbsent[] = "\x01";
bool ReadFrom(const std::string& section, const char* key, const char* iniPath, char* value,
              unsigned size, unsigned* n) {
    *n = PlatformReadProfileString(section.c_str(), key, kAbsent, value, size, iniPath);
    return std::strcmp(value, kAbsent) != 0;
}

// Reads every key into gControllerSettings, each from the instance's own section where that
// has it, else from [JOBATR], else its default; the result of the first that failed (its
// reason recorded), or kIniOk.
int ReadKeys(const char* iniPath, const std::string& instanceSection) {
    int result = kIniOk;
    for (const IniKey& key : kIniKeys) {
        char value[kScratchBytes];
        unsigned n = 0;
        std::string section = instanceSection;
        if (section.empty() || !ReadFrom(section, key.name, iniPath, value, sizeof value, &n)) {
            section = kIniSection;
            if (!ReadFrom(section, key.name, iniPath, value, sizeof value, &n)) {
                section.clear();  // the default
                n = static_cast<unsigned>(std::strlen(key.def));
                Join(value, sizeof value, {key.def});
            }
        }
        gExplanation.values.push_back({key.name, value, section});
        if (n == 0 && key.emptyIsOff) continue;
        std::string why;
        if (n == 0) {
            why = "The key " + KeyOf(key.name, section) + " has an empty value.";
        } else if (!key.take(value, &gControllerSettings)) {
            why = "The value '" + std::string(value) + "' of " + KeyOf(key.name, section) +
                  " is not " + key.valid + ".";
        }
        if (!why.empty() && result == kIniOk) result = Explain(kIniEmptyValue, why);
    }
    return result;
}

void FindUnknownKeys(const char* iniPath, const std::string& section) {
    for (const std::string& key : PlatformProfileKeys(section.c_str(), iniPath)) {
        bool known = false;
        for (const IniKey& k : kIniKeys)
            known = known || EqualsIgnoringAsciiCase(key.c_str(), k.name);
        if (!known) gExplanation.unknownKeys.push_back({key, section});
    }
}

// True when the decrypted value is text at all: qvlcrypt only ever stores printable text.
bool IsPrintable(const std::string& text) {
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
    }
    return true;
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

int GetIniValues(const std::string& instanceText) {
    gExplanation = IniExplanation{};
    gControllerSettings = ControllerSettings{};
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
    // A numbered instance's own section: its keys override those of [JOBATR], one by one.
    const std::string instanceSection = instanceText.empty() ? "" : kIniSection + instanceText;
    FindUnknownKeys(iniPath, kIniSection);
    if (!instanceSection.empty()) FindUnknownKeys(iniPath, instanceSection);
    const int keys = ReadKeys(iniPath, instanceSection);
    if (keys != kIniOk) return keys;

    const char* settingsPath = gControllerSettings.settingsPath;
    ReadProtectedValue("", kDatabaseKey, 0, settingsPath);
    CopySubstring(gProtectedRecord.value, 0, 0, gControllerSettings.databaseSuffix, kSuffixBytes);
    const std::string stored = gControllerSettings.databaseSuffix;
    const int result = MapDatabase(gControllerSettings.databaseSuffix);
    const std::string settings = FullPath(exeDir, settingsPath);
    if (result == kIniNoDatabase) {
        std::FILE* f = PlatformOpenFileForReading(settingsPath);
        // The system's reason why not (no such file, no right to read it), said with it.
        std::string reason;
        if (!f && PlatformSystemErrorText(PlatformLastError(), &reason)) {
            while (!reason.empty() &&
                   (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
                reason.pop_back();
            if (!reason.empty()) reason = ": " + reason;
        }
        if (f) std::fclose(f);
        return Explain(result, f ? "The settings file " + settings +
                                       " holds no database system (no " + kDatabaseKey + " record)."
                                 : "The settings file " + settings + " (" + KeyOf("QVLINI") +
                                       ") cannot be opened" + reason + ".");
    }
    if (result == kIniBadDatabase) {
        std::string accepted;
        for (const auto& db : kDatabases)
            accepted += std::string(accepted.empty() ? "" : ", ") + db.stored;
        // Bytes that are no text are described, never printed: a value not written by
        // qvlcrypt (or with another key) decrypts to bytes that could upset a terminal.
        const std::string named = IsPrintable(stored)
                                      ? "names the database system '" + stored + "'"
                                      : "holds a " + std::string(kDatabaseKey) +
                                            " value that is not a value written by qvlcrypt";
        return Explain(result, "The settings file " + settings + " " + named + "; accepted are " +
                                   accepted + ".");
    }
    return result;
}

std::vector<std::string> IniKeyNames() {
    std::vector<std::string> names;
    for (const IniKey& key : kIniKeys)
        names.emplace_back(key.name);
    return names;
}

std::vector<std::string> KnownDatabaseSuffixes() {
    std::vector<std::string> suffixes;
    for (const DatabaseName& db : kDatabases)
        suffixes.push_back(db.suffix);
    return suffixes;
}

bool IniValueValid(const std::string& key, const std::string& value, std::string* why) {
    for (const IniKey& k : kIniKeys) {
        if (!EqualsIgnoringAsciiCase(key.c_str(), k.name)) continue;
        ControllerSettings scratch{};
        if (value.find_first_of("\r\n") == std::string::npos &&
            ((value.empty() && k.emptyIsOff) ||
             (!value.empty() && k.take(value.c_str(), &scratch)))) {
            return true;
        }
        *why = std::string(k.name) + "=" + value + " is refused: " + k.name + " takes " + k.valid;
        return false;
    }
    *why = key + " is no key of the controller's section";
    return false;
}

std::string IniTextWithValue(const std::string& text, const std::string& section,
                             const std::string& key, const std::string& value) {
    const std::string::size_type firstEnd = text.find('\n');
    const std::string eol =
        firstEnd == std::string::npos || (firstEnd > 0 && text[firstEnd - 1] == '\r') ? "\r\n"
                                                                                      : "\n";
    std::vector<std::string> lines;  // without their ends
    for (std::string::size_type at = 0; at < text.size();) {
        std::string::size_type end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        at = end + 1;
    }
    const auto trimmed = [](const std::string& s) {
        const std::string::size_type a = s.find_first_not_of(" \t");
        return a == std::string::npos ? std::string()
                                      : s.substr(a, s.find_last_not_of(" \t") - a + 1);
    };
    const std::string entry = key + "=" + value;
    bool inSection = false;
    std::size_t insertAt = lines.size();  // past the end: the section is missing
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string line = trimmed(lines[i]);
        if (!line.empty() && line[0] == '[') {
            if (inSection) break;
            const std::string::size_type close = line.find(']');
            inSection = close != std::string::npos &&
                        EqualsIgnoringAsciiCase(trimmed(line.substr(1, close - 1)).c_str(),
                                                section.c_str());
            if (inSection) insertAt = i + 1;
            continue;
        }
        if (!inSection || line.empty() || line[0] == ';') continue;
        const std::string::size_type eq = line.find('=');
        if (eq != std::string::npos &&
            EqualsIgnoringAsciiCase(trimmed(line.substr(0, eq)).c_str(), key.c_str())) {
            lines[i] = entry;
            insertAt = std::string::npos;
            break;
        }
        insertAt = i + 1;
    }
    if (insertAt == lines.size() && !inSection) {
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
    } else if (insertAt != std::string::npos) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    }
    std::string out;
    for (const std::string& line : lines)
        out += line + eol;
    return out;
}

const IniExplanation& LastIniExplanation() {
    return gExplanation;
}

std::string UnknownKeyText(const IniKeyFound& found) {
    return gExplanation.iniPath + " has the key " + found.key + " in section [" + found.section +
           "], which the controller does not know";
}
