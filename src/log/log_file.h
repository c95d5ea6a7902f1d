// The controller's plain-text log: one time-stamped entry per WriteLog call, appended at the
// current end of the file (other processes may append too), with line feeds stored as CR LF
// on every platform and one previous generation kept when the log grows past 5000000 bytes.
// The file is opened and closed for every entry, so an entry is in the file when WriteLog
// returns. The controller's working thread writes; another thread only through TryWriteLog.
#pragma once

#include <cstdint>

#include "platform/pipe_server.h"

constexpr std::int64_t kLogRotationBytes = 5000000;  // a larger log is rotated first
constexpr int kLogMessageBytes = 512;                // the shared log message buffer
constexpr int kLogStampBytes = 20;                   // "YYYY-mm-dd HH:MM:SS" and its zero
constexpr char kLogSeparator[] = "  ";
// How long an entry waits for the lock on rotating the log, which other controllers sharing
// the log hold for a moment while they rotate it. Past it the entry is appended without a
// rotation (tried again at the next entry), so that a lock held for long, by a hung process
// say, can delay a rotation but never an entry, a heartbeat or a restart.
constexpr std::uint32_t kRotationLockWaitMs = 2000;

// The one buffer into which the controller formats a message before WriteLog.
extern char gLogMessage[kLogMessageBytes];

// Stamps `text` with the local time and two blanks and appends it to the log at
// gControllerSettings.logPath, rotating first when the log is too large. The text is stored
// byte for byte (a '%' is never a format); no line end is added. A text longer than the
// message buffer is written whole: nothing is cut. When the log cannot be opened (empty
// path, missing directory, no access, a link at its name) the entry is dropped silently.
void WriteLog(const char* text);
// The same from another thread than the controller's working one (the watch on its loop):
// the entry waits at most `waitMs` for an entry under way to end, and is dropped (false)
// when that does not (the working thread is stuck inside one: a log on a disk that hangs).
bool TryWriteLog(const char* text, std::uint32_t waitMs);
// The platform error of the last entry that could not open the log, 0 when it could;
// `link` (when not null) is set when the log's name is a link, which is never followed.
std::uint32_t LastLogOpenError(bool* link = nullptr);
// The run's stop event (null for none): a wait for the rotation lock ends once it is set,
// so that a stop is obeyed at once. Set by the run before its first entry, cleared by it
// before the event is closed.
void SetLogStopEvent(PlatformEvent* stop);
// Formats a message into gLogMessage (cut to its room, like every message) and writes it.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void WriteLogFormatted(const char* format, ...);
