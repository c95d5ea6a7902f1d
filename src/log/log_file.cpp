// The log file with size-based rotation (see log_file.h).
#include "log/log_file.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "config/configuration.h"
#include "platform/files.h"
#include "platform/log_output.h"
#include "platform/pipe_server.h"
#include "platform/system.h"

char gLogMessage[kLogMessageBytes];

namespace {

PlatformAppendFile* gCurrentLog = nullptr;
// Set when an entry stayed in the log in part (a full disk): the next one begins with a line
// end of its own, so that it does not continue the fragment's line.
bool gTornEntry = false;
// Set when the current stream was reopened by a rotation: like a C stream reopened without
// a seek, its position counts as 0, so the same entry does not try the rotation again.
bool gReopenedByRotation = false;
// Set when the rotation lock was not had within its time: the later entries only try it,
// without waiting, until it is had again, so that a lock held for long delays one entry once.
bool gLockContended = false;
// Why the last entry could not open the log (0 when it could), and whether it is a link.
std::uint32_t gLastOpenError = 0;
bool gLastOpenLink = false;
// The run's stop: a wait for the rotation lock ends when it is set.
PlatformEvent* gStopEvent = nullptr;

// What another account placed where the rotation lock belongs, said once per process, as
// an entry of its own after the entry being written.
std::string gForeignLock;
bool gForeignLockSaid = false;

PlatformRotationLock* LockRotation() {
    std::string foreign;
    PlatformRotationLock* lock =
        PlatformLockRotation(gControllerSettings.logPath, gLockContended ? 0 : kRotationLockWaitMs,
                             gStopEvent, &foreign);
    if (!foreign.empty() && gForeignLock.empty() && !gForeignLockSaid) gForeignLock = foreign;
    return lock;
}

bool TooLarge(PlatformAppendFile* stream) {
    return PlatformAppendPosition(stream) > kLogRotationBytes;
}

// Deletes the previous generation and moves the log in its place; both steps may fail (no
// previous generation yet, or another process holding the log without allowing a move):
// the log is then reopened as it is and the next entry tries again. Instances installed
// from one folder share the log: under the rotation lock, and only when the log is still
// too large once the lock is held, so that exactly one of them rotates (two would delete
// the generation the other has just moved). Without the lock the entry is appended to the
// log as it is: a held lock delays a rotation, never an entry.
PlatformAppendFile* Rotate(PlatformAppendFile* stream) {
    gReopenedByRotation = true;
    PlatformRotationLock* lock = LockRotation();
    gLockContended = lock == nullptr;
    if (!lock) return stream;
    PlatformCloseAppend(stream);
    gCurrentLog = PlatformOpenAppend(gControllerSettings.logPath);
    if (gCurrentLog && TooLarge(gCurrentLog)) {
        PlatformCloseAppend(gCurrentLog);
        PlatformDeleteFile(gControllerSettings.rotationPath);
        PlatformRenameNoReplace(gControllerSettings.logPath, gControllerSettings.rotationPath);
        gCurrentLog = PlatformOpenAppend(gControllerSettings.logPath);
    }
    PlatformUnlockRotation(lock);
    return gCurrentLog;
}

// Stores `line` as a text-mode write would: every LF as CR LF, in one append. Lines that fit
// the usual room are converted on the stack; longer ones (never cut) on the heap.
void AppendTextMode(PlatformAppendFile* stream, const char* line) {
    constexpr std::size_t kLineEndChars = 2;  // CR LF before an entry after a torn one
    char small[2 * (kLogStampBytes + kLogMessageBytes) + kLineEndChars];
    std::string large;
    const std::size_t length = std::strlen(line);
    char* out = small;
    if (2 * length + kLineEndChars > sizeof small) {
        large.resize(2 * length + kLineEndChars);
        out = &large[0];
    }
    std::size_t n = 0;
    if (gTornEntry) {
        out[n++] = '\r';
        out[n++] = '\n';
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (line[i] == '\n') out[n++] = '\r';
        out[n++] = line[i];
    }
    bool torn = false;
    if (PlatformAppendBytes(stream, out, n, &torn)) {
        gTornEntry = false;
    } else if (torn) {
        gTornEntry = true;
    }
}

// Opens the log for appending, rotating it first when it is larger than the threshold. The
// result (or null) becomes the current log stream; `error` receives why the open failed.
PlatformAppendFile* OpenLogFile(std::uint32_t* error) {
    gReopenedByRotation = false;
    gCurrentLog = PlatformOpenAppend(gControllerSettings.logPath, &gLastOpenLink);
    *error = gCurrentLog ? 0 : PlatformLastError();
    if (!gCurrentLog && !gLastOpenLink) {
        // Windows refuses to open a file while another process moves it: that process holds
        // the rotation lock meanwhile, so once the lock is free the open is tried once more.
        if (PlatformRotationLock* lock = LockRotation()) {
            PlatformUnlockRotation(lock);
            gCurrentLog = PlatformOpenAppend(gControllerSettings.logPath);
            *error = gCurrentLog ? 0 : PlatformLastError();
        }
    }
    if (gCurrentLog && TooLarge(gCurrentLog)) return Rotate(gCurrentLog);
    return gCurrentLog;
}

// Appends a finished line to `stream` (nothing when it is null), rotating first when the
// file has grown past the threshold meanwhile; the reopened stream then becomes the current
// log stream. Each line feed is stored as CR LF.
void AppendToLog(PlatformAppendFile* stream, const char* line) {
    if (!stream) return;
    if (!gReopenedByRotation && TooLarge(stream)) {
        stream = Rotate(stream);
        if (!stream) return;
    }
    AppendTextMode(stream, line);
}

}  // namespace

namespace {

// One entry at a time: the working thread's entries and, rarely, another thread's.
std::timed_mutex gEntryLock;

void WriteEntry(const char* text) {
    gCurrentLog = nullptr;
    if (gControllerSettings.logPath[0] == '\0') return;  // configuration never got that far
    std::uint32_t openError = 0;
    OpenLogFile(&openError);
    // A rotation whose reopen failed leaves its own error.
    if (!gCurrentLog && openError == 0) openError = PlatformLastError();
    gLastOpenError = gCurrentLog ? 0 : openError;
    std::tm now;
    PlatformLocalTimeNow(&now);
    char small[kLogStampBytes + sizeof kLogSeparator + kLogMessageBytes];
    std::string large;
    const std::size_t textLength = std::strlen(text);
    char* line = small;
    if (kLogStampBytes + sizeof kLogSeparator + textLength > sizeof small) {
        large.resize(kLogStampBytes + sizeof kLogSeparator + textLength);
        line = &large[0];
    }
    const std::size_t stamp = std::strftime(line, kLogStampBytes, "%Y-%m-%d %H:%M:%S", &now);
    std::memcpy(line + stamp, kLogSeparator, sizeof kLogSeparator - 1);
    std::memcpy(line + stamp + sizeof kLogSeparator - 1, text, textLength + 1);
    if (!gCurrentLog) return;
    AppendToLog(gCurrentLog, line);
    if (!gForeignLock.empty()) {
        // The stamp of this entry serves the note too: the same moment.
        const std::string note = std::string(line, stamp + sizeof kLogSeparator - 1) +
                                 "Another account made " + gForeignLock +
                                 " first; it is left alone and the log is rotated all the same.\n";
        gForeignLock.clear();
        gForeignLockSaid = true;
        AppendTextMode(gCurrentLog, note.c_str());
    }
    PlatformCloseAppend(gCurrentLog);
    gCurrentLog = nullptr;
}

}  // namespace

void WriteLog(const char* text) {
    std::lock_guard<std::timed_mutex> guard(gEntryLock);
    WriteEntry(text);
}

bool TryWriteLog(const char* text, std::uint32_t waitMs) {
    if (!gEntryLock.try_lock_for(std::chrono::milliseconds(waitMs))) return false;
    WriteEntry(text);
    gEntryLock.unlock();
    return true;
}

std::uint32_t LastLogOpenError(bool* link) {
    if (link) *link = gLastOpenError != 0 && gLastOpenLink;
    return gLastOpenError;
}

void SetLogStopEvent(PlatformEvent* stop) {
    gStopEvent = stop;
}

void WriteLogFormatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(gLogMessage, sizeof gLogMessage, format, args);
    va_end(args);
    WriteLog(gLogMessage);
}
