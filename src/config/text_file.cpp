// Text-mode line reading, identical on both platforms (see text_file.h).
#include "config/text_file.h"

#include "platform/files.h"

namespace {

constexpr int kEndOfFileMark = 26;  // Ctrl+Z ends a text file

int RawByte(TextFile* tf) {
    if (tf->pending >= 0) {
        int c = tf->pending;
        tf->pending = -1;
        return c;
    }
    if (++tf->consumed > kMaxConfigFileBytes) {
        tf->tooLarge = true;
        return EOF;
    }
    return std::fgetc(tf->file);
}

// The next character after text-mode translation, or EOF.
int NextChar(TextFile* tf) {
    if (tf->ended) return EOF;
    int c = RawByte(tf);
    if (c == '\r') {
        int next = std::fgetc(tf->file);
        if (next == '\n') return '\n';
        if (next != EOF) tf->pending = next;
        return '\r';
    }
    if (c == EOF || c == kEndOfFileMark) {
        tf->ended = true;
        return EOF;
    }
    return c;
}

}  // namespace

bool OpenTextFile(TextFile* tf, const char* path) {
    *tf = TextFile{};
    tf->file = PlatformOpenFileForReading(path);
    return tf->file != nullptr;
}

void CloseTextFile(TextFile* tf) {
    if (tf->file) std::fclose(tf->file);
    *tf = TextFile{};
}

bool ReadTextLine(TextFile* tf, char* buf, int room) {
    if (room <= 0) return false;
    int n = 0;
    while (n < room - 1) {
        int c = NextChar(tf);
        if (c == EOF) break;
        buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (n == 0 && room > 1) return false;
    buf[n] = '\0';
    return true;
}
