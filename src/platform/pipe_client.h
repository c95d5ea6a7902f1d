// The pipe-client port: qvlping, the sample job starter, -status and the tests reach a
// controller's heartbeat pipe through it. Each step keeps to its own time-out and never
// blocks past it.
#pragma once

#include <cstddef>
#include <cstdint>

// True when a server end of pipe `name` exists, found without connecting to it, so that
// asking is never a client of the pipe (Windows: WaitNamedPipeA for one millisecond;
// Linux: a listening abstract socket of that name in /proc/net/unix).
bool PlatformPipeServed(const char* name);
struct PlatformPipeClient;
// Connects to pipe `name`, waiting up to `timeoutMs` while it is busy (Windows: another
// client is being served; Linux: the queue of waiting clients is full). Null when no
// controller listens or it stays busy.
PlatformPipeClient* PlatformPipeConnect(const char* name, std::uint32_t timeoutMs);
// Sends one message; true when all of it went out within `timeoutMs`.
bool PlatformPipeClientSend(PlatformPipeClient* client, const char* message, std::size_t length,
                            std::uint32_t timeoutMs);
// Receives one message (cut to `size`); false when none came within `timeoutMs` or the
// controller disconnected.
bool PlatformPipeClientReceive(PlatformPipeClient* client, char* buffer, std::size_t size,
                               std::size_t* length, std::uint32_t timeoutMs);
void PlatformPipeClientClose(PlatformPipeClient* client);
// One heartbeat: connect, one message out, one reply back, each within `timeoutMs`.
// Returns 0 on success, 1 when no controller listens on `name`, 2 when the exchange failed
// after connecting. (Shared code, on the calls above.)
int PlatformPipeTransact(const char* name, const char* message, std::size_t length, char* reply,
                         std::size_t replySize, std::size_t* replyLength, std::uint32_t timeoutMs);
