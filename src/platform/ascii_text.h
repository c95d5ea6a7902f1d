// Letter case the way the system compares names: only the ASCII letters a-z and A-Z count as
// letters of one case or the other; every other byte compares and stays as it is.
#pragma once

// True when the two texts are equal but for the case of ASCII letters.
bool EqualsIgnoringAsciiCase(const char* a, const char* b);
// Turns a-z into A-Z in place.
void UpperCaseAscii(char* text);
