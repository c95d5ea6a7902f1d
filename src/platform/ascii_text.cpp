// ASCII letter case (see ascii_text.h).
#include "platform/ascii_text.h"

namespace {

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

bool EqualsIgnoringAsciiCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (Upper(*a) != Upper(*b)) return false;
    }
    return *a == *b;
}

void UpperCaseAscii(char* text) {
    for (; *text; ++text)
        *text = Upper(*text);
}
