// The hang-capture port: where a process that has stopped answering is stuck, written to a
// file before it is ended, on a thread of its own so that the caller's loop keeps to its
// deadlines and hears a stop. Windows: a minidump (MiniDumpWriteDump of dbghelp, with the
// threads' information, `header` in its comment stream). Linux: a text report, `header`, the
// process's state and wait channel from /proc, then one section per thread with the function
// name of each frame, unwound by elfutils' libdwfl through ptrace (the process is stopped for
// it and let go afterwards).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct HangCapture;
// Starts capturing process `pid` into a new file at `path`, created for the caller's account
// alone (never over an existing name). Null, with the reason in `error`, when it could not
// start at all.
HangCapture* PlatformStartHangCapture(std::uint32_t pid, const std::string& path,
                                      const std::string& header, std::string* error);
// True once the capture has finished; `ok` then says whether the file was written whole, and
// `error` why not (a failed capture leaves no file).
bool PlatformHangCaptureDone(HangCapture* capture, bool* ok, std::string* error);
// Lets go of a capture: one that has not finished is abandoned (Linux: it stops at its next
// step, lets the process go and writes no file; Windows: the dump call, which cannot be
// interrupted, ends by itself while the caller goes on, and its file is removed). Never
// waits longer than a second.
void PlatformEndHangCapture(HangCapture* capture);
// What a report ends with: ".dmp" (a minidump) or ".txt".
const char* PlatformHangReportExtension();

// The backend's part, run by the shared code on the capture's thread: writes the report of
// process `pid` to `path`, giving up at its next step once `cancel` is set. False, with the
// reason in plain words in `why`, when no whole report was written (then none is left).
bool PlatformRunHangCapture(std::uint32_t pid, const std::string& path, const std::string& header,
                            const std::atomic<bool>& cancel, std::string* why);
// Where this process itself is stuck, written from one of its own threads while another (the
// one that no longer makes progress) may be stopped anywhere: Windows, a minidump of the
// process (MiniDumpWriteDump of itself); Linux, where a process cannot trace its own
// threads, each thread's state, wait channel and system call from /proc with the function its
// instruction pointer lies in (the innermost frame), `header` first. The file is created for
// the caller's account alone, never over an existing name. False, with the reason in plain
// words in `why`, when none was written.
bool PlatformCaptureSelf(const std::string& path, const std::string& header, std::string* why);
// Removes a report the capture wrote after it was abandoned.
void PlatformRemoveHangReport(const std::string& path);
