// Letter case the way the system compares names: only the ASCII letters a-z and A-Z count as
// letters of one case or the other; every other byte compares and stays as it is. And the
// words of a line between its blanks.
#pragma once

#include <string>
#include <vector>

// True when the two texts are equal but for the case of ASCII letters.
bool EqualsIgnoringAsciiCase(const char* a, const char* b);
// Turns a-z into A-Z in place.
void UpperCaseAscii(char* text);
// The words of `text` between blanks, tabs and carriage returns (a command line's, a "#!"
// line's).
std::vector<std::string> SplitAtBlanks(const std::string& text);
