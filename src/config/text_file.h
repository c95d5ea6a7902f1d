// Reading a file with the C runtime's text-mode rules, done by the project itself so that
// a file gives the same lines on Windows and Linux: a CR directly before a LF is dropped, a
// CR anywhere else stays, and byte 26 (Ctrl+Z) ends the file.
#pragma once

#include <cstddef>
#include <cstdio>

struct TextFile {
    std::FILE* file = nullptr;
    bool ended = false;  // byte 26 or the physical end has been reached
    int pending = -1;    // a byte read ahead while looking for CR LF, or -1
    std::size_t consumed = 0;
    bool tooLarge = false;  // ended after kMaxConfigFileBytes: to be taken as unreadable
};

// Opens `path` (relative to the current directory) for text reading. False when it cannot.
bool OpenTextFile(TextFile* tf, const char* path);
void CloseTextFile(TextFile* tf);
// fgets semantics: reads up to room-1 characters, stopping after a line feed, and writes a
// terminating zero. False, with `buf` untouched, when the file has ended before any
// character could be read.
bool ReadTextLine(TextFile* tf, char* buf, int room);
