// ASCII letter case and words between blanks (see ascii_text.h).
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

std::vector<std::string> SplitAtBlanks(const std::string& text) {
    std::vector<std::string> tokens;
    std::string token;
    for (const char c : text + ' ') {
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!token.empty()) tokens.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    return tokens;
}
