// The system port: what the process is prepared with, the last system error and its text,
// the time of day and a plain pause. Every call may be made from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// Process-wide settings made first thing, before any other thread: on Linux SIGPIPE is
// ignored, so that a write to a log that is a FIFO whose reader went away fails with EPIPE
// instead of ending the controller (Windows has no such signal: nothing to do).
void PlatformPrepareProcess();

// The calling thread's last system error (GetLastError / errno).
std::uint32_t PlatformLastError();
void PlatformSetLastError(std::uint32_t code);
// The system's message text for `code`, exactly as the system gives it (on Windows with its
// closing CR LF; the Linux text gets the same CR LF so that callers treat both alike).
// False when the system has no text for the code.
bool PlatformSystemErrorText(std::uint32_t code, std::string* text);

// A few descriptors held back for when the process has none left (Linux; Windows' handles do
// not run out that way: nothing to do there). PlatformReleaseReserve lets them go, so that a
// restart can still open what it needs and say why; PlatformHoldReserve takes them again (as
// many as it can). PlatformOutOfDescriptors tells an error that says none are left.
void PlatformHoldReserve();
void PlatformReleaseReserve();
bool PlatformOutOfDescriptors(std::uint32_t error);

// Fills `out` with `size` bytes from the system's source of randomness (Linux: getrandom;
// Windows: rand_s, on the system's generator), which no other process can foresee. False,
// with the last error set, when it gave none.
bool PlatformRandomBytes(void* out, std::size_t size);

// The current time, broken down in local time.
void PlatformLocalTimeNow(std::tm* out);
// Waits `milliseconds`; used only where nothing else can happen meanwhile (the removal's
// wait for a stopping service, a tool's pause).
void PlatformSleep(std::uint32_t milliseconds);
