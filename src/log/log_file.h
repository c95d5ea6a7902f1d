// The controller's plain-text log: one time-stamped entry per WriteLog call, appended at the
// current end of the file (other processes may append too), with line feeds stored as CR LF
// on every platform and one previous generation kept when the log grows past 5000000 bytes.
// The file is opened and closed for every entry, so an entry is in the file when WriteLog
// returns. Only the controller's working thread writes (the stream is process-wide).
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr std::int64_t kLogRotationBytes = 5000000;  // a larger log is rotated first
constexpr int kLogMessageBytes = 512;                // the shared log message buffer
constexpr int kLogStampBytes = 20;                   // "YYYY-mm-dd HH:MM:SS" and its zero
constexpr char kLogSeparator[] = "  ";

// The one buffer into which the controller formats a message before WriteLog.
extern char gLogMessage[kLogMessageBytes];

// Stamps `text` with the local time and two blanks and appends it to the log at
// gControllerSettings.logPath, rotating first when the log is too large. The text is stored
// byte for byte (a '%' is never a format); no line end is added. A text longer than the
// message buffer is written whole: nothing is cut. When the log cannot be opened (empty
// path, missing directory, no access) the entry is dropped silently.
void WriteLog(const char* text);
// Formats a message into gLogMessage (cut to its room, like every message) and writes it.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void WriteLogFormatted(const char* format, ...);
