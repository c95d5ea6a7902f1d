// The suite's protected settings file: two-line records ("...;SECTION;..." then
// "ID;KEY;STORED"), looked up by section, key or numeric id (any one matching), with the
// matching record's value decrypted. The file is read with text-mode rules and fixed line
// capacities, so an over-long line shifts the pairing of every later line, as the suite's
// other readers of the same file see it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kProtectedFieldChars = 200;  // section, key and value each
constexpr int kProtectedIdChars = 11;      // "-2147483648"
// Twelve stored blocks fit the value field: 96 characters of protected text.
constexpr int kProtectedTextChars = (kProtectedFieldChars / 16) * 8;
constexpr int kFirstLineRoom = 200;   // 198 characters and the line feed, plus the zero
constexpr int kSecondLineRoom = 400;  // 398 characters and the line feed, plus the zero
constexpr char kProtectedValueKey[] = "DORVALK";

struct ProtectedRecord {
    std::int32_t id;
    char section[kProtectedFieldChars + 1];
    char key[kProtectedFieldChars + 1];
    char value[kProtectedFieldChars + 1];  // stored form while parsing; decrypted after a match
};

// Filled by ReadProtectedValue: the first matching record, or the empty record.
extern ProtectedRecord gProtectedRecord;

// Looks up the first record whose section equals `section`, or whose key equals `key`, or
// whose id equals `id`, in the settings file at `path` (relative to the current directory),
// and leaves it in gProtectedRecord with its value decrypted. A file that cannot be opened
// or holds no match leaves the empty record. Fields longer than their room are cut to it;
// a second line without any ';' gives a record that never matches by id.
void ReadProtectedValue(const char* section, const char* key, std::int32_t id, const char* path);

// 0-based position of the n-th occurrence of `c` in `text`; of the last occurrence when
// there are fewer than n; -1 when there is none.
int FindCharPos(const char* text, char c, int n);

// length > 0: that many characters from `start` (never past the text's end) and a zero;
// length 0: the rest of the text from `start`; length < 0: nothing written. The copy is cut
// to destSize-1 characters so it never writes past the destination.
void CopySubstring(const char* text, int start, int length, char* dest, std::size_t destSize);
