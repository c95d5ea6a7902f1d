// The pipe-client port: qvlping, the sample job starter, -status and the tests reach a
// controller's heartbeat pipe through it. Each step keeps to its own time-out and never
// blocks past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Who holds pipe `name`, found without connecting to it, so that asking is never a client of
// the pipe: whether a server end exists, and where the system tells it without a connection,
// the account of the process that made it ("" where it does not) and, with `findProcess`,
// that process (0 where the asker may not see it). Linux: the kernel's table of listening
// sockets (any account may ask it for the socket's account; the process is found among
// those of that account the asker may examine, a look at each one's descriptors); Windows:
// WaitNamedPipeA for one millisecond, which tells only whether the pipe is served.
struct PipeHolder {
    bool served = false;
    std::string account;
    std::uint32_t pid = 0;
};
PipeHolder PlatformPipeHolder(const char* name, bool findProcess = true);
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
// Who serves the connected pipe, asked of the system, not of the server (Linux: the peer's
// credentials of the connected socket; Windows: GetNamedPipeServerProcessId and that
// process's token): its process (0 when unknown) and account ("" when unknown).
void PlatformPipeClientServer(PlatformPipeClient* client, std::uint32_t* pid, std::string* account);

// Whether a client running as `own` accepts a server running as `server`: one of its own
// account or an administrator's (a controller runs as either), never one whose account cannot
// be told, so that no other account can answer in the controller's place. (Shared code.)
bool ServerAccepted(const std::string& server, const std::string& own);
// One heartbeat: connect, the server accepted (ServerAccepted, for this process's account),
// one message out, one reply back, each within `timeoutMs`. Returns 0 on success, 1 when no
// controller listens on `name`, 2 when the exchange failed after connecting, 3 when the server
// was refused: it is left without a message, and `holder` (when not null) says who it is.
// (Shared code, on the calls above.)
constexpr int kServerRefused = 3;
int PlatformPipeTransact(const char* name, const char* message, std::size_t length, char* reply,
                         std::size_t replySize, std::size_t* replyLength, std::uint32_t timeoutMs,
                         PipeHolder* holder = nullptr);
