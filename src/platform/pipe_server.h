// The pipe-server port: the heartbeat pipe's server end, the stop event, and the run loop's
// one wait on both and on a watched process. The pipe's operations and the wait are made by
// the thread that runs the controller; only PlatformSetEvent comes from other threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PlatformProcessWatch;

// The stop event: not set when made; once set, from any thread, it stays set.
struct PlatformEvent;
PlatformEvent* PlatformCreateEvent();  // null on failure
void PlatformSetEvent(PlatformEvent* event);
// True once the event is set; never waits, and costs no system call where the platform
// allows (the run loop asks between two operations that completed at once).
bool PlatformEventIsSet(PlatformEvent* event);
void PlatformCloseEvent(PlatformEvent* event);

// Access to the pipe for every caller, made in three steps (obtain its room, initialise it,
// attach the access that lets everyone in); the first that fails is named, with its
// platform error in `error`.
enum class PipeAccessStep { kMade, kObtain, kInitialise, kAttach };
struct PlatformPipeAccess;
PipeAccessStep PlatformOpenPipeAccess(PlatformPipeAccess** access, std::uint32_t* error);
void PlatformFreePipeAccess(PlatformPipeAccess* access);

// The heartbeat pipe's server end: one message in and one reply out per client, one client at
// a time, open to everyone. It is made in two steps: what completes its operations, then the
// pipe of that name, served from then on. Null or false, with the platform error in `error`,
// on failure.
struct PlatformPipe;
PlatformPipe* PlatformNewPipeServer(std::uint32_t* error);
bool PlatformServePipe(PlatformPipe* pipe, const char* name, PlatformPipeAccess* access,
                       std::uint32_t* error);
void PlatformClosePipe(PlatformPipe* pipe);

// How an operation on the pipe went when it started: still under way (wait for it, then ask
// PlatformPipeOutcome), over, or failed with the platform's `error`. A wait for a client that
// is over has one: `client` is its process's account in ProcessFacts::account's terms ("" when
// it cannot be told). A read that is over has `bytes`. A failed wait for a client means none
// has come, and none will until it is tried again (descriptors used up, say); the failures of
// reads and replies are not told apart from their being over.
enum class PipeStart { kPending, kOver, kFailed };
struct PipeOutcome {
    PipeStart state = PipeStart::kOver;
    std::uint32_t error = 0;
    std::size_t bytes = 0;
    std::string client;

    static PipeOutcome Pending() {
        PipeOutcome outcome;
        outcome.state = PipeStart::kPending;
        return outcome;
    }
    static PipeOutcome Failed(std::uint32_t error) {
        PipeOutcome outcome;
        outcome.state = PipeStart::kFailed;
        outcome.error = error;
        return outcome;
    }
};
// What one wait saw first, in this order: the stop event, the pipe's pending operation, the
// watched process's end; else the time-out, or the wait itself failed.
enum class WaitResult { kStop, kPipe, kProcess, kTimeout, kFailed };
constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;

// The cycle of one client: wait for it to come, read its message, reply, let it go.
// A client that came before the call is over at once.
PipeOutcome PlatformPipeAwaitClient(PlatformPipe* pipe);
// Reads one message of at most `size` bytes; the rest of a longer message is discarded.
PipeOutcome PlatformPipeReadRequest(PlatformPipe* pipe, char* buffer, std::size_t size);
// Sends one message of exactly `size` bytes.
PipeOutcome PlatformPipeSendReply(PlatformPipe* pipe, const char* bytes, std::size_t size);
// After a wait saw the pending operation end: how it went.
PipeOutcome PlatformPipeOutcome(PlatformPipe* pipe);
// Ends an operation that is still pending (after a time-out) before the next one starts.
void PlatformPipeCancel(PlatformPipe* pipe);
void PlatformPipeDisconnect(PlatformPipe* pipe);
// The one wait of the run loop, at most `timeoutMs`: for the stop event, the pipe's pending
// operation (when `pipe` is not null and has one) and the end of the watched process (when
// `process` is not null). A stop wins over everything else.
WaitResult PlatformWait(PlatformEvent* stop, PlatformPipe* pipe, PlatformProcessWatch* process,
                        std::uint32_t timeoutMs);
