// The pipe-server port: the heartbeat pipe's server end, the stop event, and the run loop's
// one wait on both and on a watched process. The pipe's operations and the wait are made by
// the thread that runs the controller; only PlatformSetEvent comes from other threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PlatformProcessWatch;

// A manual-reset, initially non-signalled, unnamed event. Once set it stays set.
struct PlatformEvent;
PlatformEvent* PlatformCreateEvent();  // null on failure
void PlatformSetEvent(PlatformEvent* event);
// True once the event is set; never waits, and costs no system call where the platform
// allows (the run loop asks between two operations that completed at once).
bool PlatformEventIsSet(PlatformEvent* event);
void PlatformCloseEvent(PlatformEvent* event);

// Access to the pipe for every caller (Windows: a 20-byte heap block, initialised at revision
// 1, with a present but null access list; Linux: an abstract socket is open to everyone, so
// there is nothing to make). Made in three steps; the first that fails is named.
enum class PipeAccessStep { kMade, kObtain, kInitialise, kAttach };
struct PlatformPipeAccess;
PipeAccessStep PlatformOpenPipeAccess(PlatformPipeAccess** access);
void PlatformFreePipeAccess(PlatformPipeAccess* access);

// The heartbeat pipe's server end: message mode, one instance, default time-out 1000 ms,
// open to everyone (Linux: an abstract SOCK_SEQPACKET socket named by the same text). It is
// made in two steps: the server with what completes its operations (Windows: the pipe event),
// then the pipe of that name. Null or false, with the last error set, on failure.
struct PlatformPipe;
PlatformPipe* PlatformNewPipeServer();
bool PlatformServePipe(PlatformPipe* pipe, const char* name, PlatformPipeAccess* access);
void PlatformClosePipe(PlatformPipe* pipe);

// How an operation on the pipe started: still pending (wait for it), or over (done, or failed
// in a way that is not examined). A listen may also have failed: no client has come, and
// none will until it is tried again (descriptors used up, say); the last error says why.
enum class PipeStart { kPending, kOver, kFailed };
// What one wait saw first, in this order: the stop event, the pipe's pending operation, the
// watched process's end; else the time-out, or the wait itself failed.
enum class WaitResult { kStop, kPipe, kProcess, kTimeout, kFailed };
constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;

// Starts listening for a client. kOver for a client that connected before the call.
PipeStart PlatformPipeListen(PlatformPipe* pipe);
// After a wait saw a pending listen complete: true when a client is connected; false, with
// the last error set, when the listen failed.
bool PlatformPipeListenSucceeded(PlatformPipe* pipe);
// The account of the connected client's process, asked of the system when the client came
// (Linux: the peer's credentials at accept; Windows: GetNamedPipeClientProcessId and that
// process's token), in ProcessFacts::account's terms; "" when it cannot be told.
std::string PlatformPipeClientAccount(PlatformPipe* pipe);
// Ends a listen that is still pending (after a time-out) before its record is reused.
void PlatformPipeCancel(PlatformPipe* pipe);
// Reads one message of at most `size` bytes; the rest of a longer message is discarded.
PipeStart PlatformPipeRead(PlatformPipe* pipe, char* buffer, std::size_t size);
// Bytes received by the last read, once it is over (0 when it failed).
std::size_t PlatformPipeBytesRead(PlatformPipe* pipe);
// Writes one message of exactly `size` bytes.
PipeStart PlatformPipeWrite(PlatformPipe* pipe, const char* bytes, std::size_t size);
void PlatformPipeDisconnect(PlatformPipe* pipe);
// The one wait of the run loop, at most `timeoutMs`: for the stop event, the pipe's pending
// operation (when `pipe` is not null and has one) and the end of the watched process (when
// `process` is not null). A stop wins over everything else.
WaitResult PlatformWait(PlatformEvent* stop, PlatformPipe* pipe, PlatformProcessWatch* process,
                        std::uint32_t timeoutMs);
