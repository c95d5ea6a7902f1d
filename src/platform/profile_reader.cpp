// INI lookup by the Windows profile rules (see profile_reader.h). The file is small and read
// once per call, so it is simply scanned line by line; nothing is cached.
#include "platform/profile_reader.h"

#include "platform/ascii_text.h"
#include "platform/files.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool ReadWholeFile(const char* path, std::string* content) {
    std::FILE* f = PlatformOpenFileForReading(path);
    if (!f) return false;
    char buf[4096];
    size_t n;
    while (content->size() <= kMaxConfigFileBytes && (n = std::fread(buf, 1, sizeof buf, f)) > 0)
        content->append(buf, n);
    std::fclose(f);
    return content->size() <= kMaxConfigFileBytes;
}

// Calls `entry(name, line, eq)` for each key line of the first section named `section`
// (`eq` is the position of its '=', npos when it has none) until `entry` returns false.
// Lines before the first section header form a section with the empty name; a '[' line
// without its ']' starts no section.
template <typename Entry>
void ForEachEntry(const std::string& content, const char* section, Entry entry) {
    bool inSection = EqualsIgnoringAsciiCase("", section);
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = content.size();
        // A zero byte ends the line's text, as it ends any string the profile API holds.
        std::string raw = content.substr(pos, end - pos);
        raw.resize(std::strlen(raw.c_str()));
        const std::string line = Trim(raw);
        pos = end + 1;
        // Comment lines are no keys, as in the profile API: the packaged INI shows keys
        // commented out with ';'.
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            const size_t close = line.rfind(']');
            if (close != std::string::npos) {
                if (inSection) return;  // only the first section of that name counts
                inSection =
                    EqualsIgnoringAsciiCase(Trim(line.substr(1, close - 1)).c_str(), section);
                continue;
            }
        }
        if (!inSection) continue;
        const size_t eq = line.find('=');
        if (!entry(Trim(line.substr(0, eq)), line, eq)) return;
    }
}

// Finds the value of key in the first section named `section`. False when there is none;
// a key without '=' has no value and gives the default.
bool FindValue(const std::string& content, const char* section, const char* key,
               std::string* value) {
    bool found = false;
    ForEachEntry(content, section,
                 [&](const std::string& name, const std::string& line, size_t eq) {
                     if (!EqualsIgnoringAsciiCase(name.c_str(), key)) return true;
                     if (eq != std::string::npos) {
                         *value = Trim(line.substr(eq + 1));
                         found = true;
                     }
                     return false;
                 });
    return found;
}

std::uint32_t CopyOut(const std::string& text, char* out, std::uint32_t size) {
    if (size == 0) return 0;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<std::uint32_t>(n);
}

std::string Unquote(const std::string& v) {
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

}  // namespace

std::uint32_t ProfileReadString(const char* section, const char* key, const char* def, char* out,
                                std::uint32_t size, const char* path) {
    std::string content, value;
    if (ReadWholeFile(path, &content) && FindValue(content, section, key, &value)) {
        return CopyOut(Unquote(value), out, size);
    }
    std::string d = def ? def : "";
    while (!d.empty() && d.back() == ' ')
        d.pop_back();  // the default loses trailing blanks
    return CopyOut(d, out, size);
}

std::vector<std::string> ProfileKeyNames(const char* section, const char* path) {
    std::string content;
    std::vector<std::string> names;
    if (!ReadWholeFile(path, &content)) return names;
    ForEachEntry(content, section, [&](const std::string& name, const std::string&, size_t) {
        if (!name.empty()) names.push_back(name);
        return true;
    });
    return names;
}
