// Record lookup in the suite's protected settings file (see protected_settings.h).
#include "config/protected_settings.h"

#include <climits>
#include <cstring>

#include "config/settings_cipher.h"
#include "config/text_file.h"

ProtectedRecord gProtectedRecord;

namespace {

void EmptyRecord() {
    std::memset(&gProtectedRecord, 0, sizeof gProtectedRecord);
}

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The runtime's atol on a 32-bit long: blanks skipped, optional sign, digits up to the
// first other character; 0 without digits. Out-of-range values saturate as strtol does.
std::int32_t DecimalValue(const char* s) {
    while (IsSpace(*s))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = (*s++ == '-');
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<std::int32_t>(v);
}

struct ParsedIds {
    bool hasId;  // false for a second line without any ';'
};

// Takes the fields of one record into gProtectedRecord, by the positions of its ';'.
ParsedIds TakeFields(const char* first, const char* second) {
    const int p1 = FindCharPos(first, ';', 1), p2 = FindCharPos(first, ';', 2);
    const int q1 = FindCharPos(second, ';', 1), q2 = FindCharPos(second, ';', 2);
    const int e = FindCharPos(second, '\n', 1);
    ProtectedRecord& r = gProtectedRecord;
    CopySubstring(first, p1 + 1, p2 - p1 - 1, r.section, sizeof r.section);
    char idText[kProtectedIdChars + 1] = "";
    CopySubstring(second, 0, q1, idText, sizeof idText);
    r.id = DecimalValue(idText);
    CopySubstring(second, q1 + 1, q2 - q1 - 1, r.key, sizeof r.key);
    CopySubstring(second, q2 + 1, q2 < 0 ? 0 : e - q2 - 1, r.value, sizeof r.value);
    return ParsedIds{q1 >= 0};
}

void DecryptValue() {
    char plain[DecryptedBytes(kProtectedFieldChars)];
    DecryptFromHex(gProtectedRecord.value, plain, kProtectedValueKey);
    CopySubstring(plain, 0, 0, gProtectedRecord.value, sizeof gProtectedRecord.value);
}

}  // namespace

int FindCharPos(const char* text, char c, int n) {
    int last = -1, seen = 0;
    for (int i = 0; text[i] != '\0'; ++i) {
        if (text[i] != c) continue;
        last = i;
        if (++seen == n) break;
    }
    return last;
}

void CopySubstring(const char* text, int start, int length, char* dest, std::size_t destSize) {
    if (length < 0 || destSize == 0 || start < 0) return;
    const std::size_t textLength = std::strlen(text);
    const std::size_t from = static_cast<std::size_t>(start) < textLength ? start : textLength;
    std::size_t count = textLength - from;
    if (length > 0 && static_cast<std::size_t>(length) < count) count = length;
    if (count > destSize - 1) count = destSize - 1;
    std::memmove(dest, text + from, count);
    dest[count] = '\0';
}

void ReadProtectedValue(const char* section, const char* key, std::int32_t id, const char* path) {
    EmptyRecord();
    TextFile tf;
    if (!OpenTextFile(&tf, path)) return;
    char first[kFirstLineRoom], second[kSecondLineRoom];
    while (ReadTextLine(&tf, first, sizeof first) && ReadTextLine(&tf, second, sizeof second)) {
        const ParsedIds ids = TakeFields(first, second);
        const ProtectedRecord& r = gProtectedRecord;
        if (std::strcmp(r.section, section) == 0 || std::strcmp(r.key, key) == 0 ||
            (ids.hasId && r.id == id)) {
            DecryptValue();
            break;
        }
        EmptyRecord();
    }
    if (tf.tooLarge) EmptyRecord();  // as if it could not be read
    CloseTextFile(&tf);
}
