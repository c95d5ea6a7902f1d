// Win32 backend of the pipe-server, pipe-client and console ports: the named pipe in
// message mode with one overlapped record reused for every operation, and
// WaitForMultipleObjects over [stop event, pipe event] so that a stop wins.
#include <windows.h>

#include "platform/console.h"
#include "platform/pipe_client.h"
#include "platform/pipe_server.h"
#include "platform/win32/win32_internal.h"

namespace {

constexpr DWORD kPipeDefaultTimeoutMs = 1000;
constexpr DWORD kSecurityDescriptorBytes = 20;  // SECURITY_DESCRIPTOR_MIN_LENGTH on 32 bits

}  // namespace

PlatformEvent* PlatformCreateEvent() {
    // Manual-reset, initially non-signalled, unnamed.
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return h == nullptr ? nullptr : new PlatformEvent{h};
}

bool PlatformEventIsSet(PlatformEvent* event) {
    return WaitForSingleObject(event->handle, 0) == WAIT_OBJECT_0;
}

void PlatformSetEvent(PlatformEvent* event) {
    SetEvent(event->handle);
}

void PlatformCloseEvent(PlatformEvent* event) {
    if (!event) return;
    CloseHandle(event->handle);
    delete event;
}

struct PlatformPipeAccess {
    PSECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
};

// A security descriptor in a 20-byte heap block, initialised at revision 1, with a present
// but null access list, which grants every caller access.
PipeAccessStep PlatformOpenPipeAccess(PlatformPipeAccess** access, std::uint32_t* error) {
    *access = nullptr;
    auto* a = new PlatformPipeAccess{};
    a->descriptor = static_cast<PSECURITY_DESCRIPTOR>(LocalAlloc(LPTR, kSecurityDescriptorBytes));
    if (a->descriptor == nullptr) {
        *error = GetLastError();
        delete a;
        return PipeAccessStep::kObtain;
    }
    *access = a;
    if (!InitializeSecurityDescriptor(a->descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        *error = GetLastError();
        return PipeAccessStep::kInitialise;
    }
    if (!SetSecurityDescriptorDacl(a->descriptor, TRUE, nullptr, FALSE)) {
        *error = GetLastError();
        return PipeAccessStep::kAttach;
    }
    a->attributes.nLength = sizeof a->attributes;
    a->attributes.lpSecurityDescriptor = a->descriptor;
    a->attributes.bInheritHandle = TRUE;
    return PipeAccessStep::kMade;
}

void PlatformFreePipeAccess(PlatformPipeAccess* access) {
    if (!access) return;
    LocalFree(access->descriptor);
    delete access;
}

namespace {

enum class Operation { kNone, kListen, kRead, kWrite };

}  // namespace

// The named pipe in message mode, one instance, default time-out 1000 ms, with the pipe
// event that completes its overlapped operations.
struct PlatformPipe {
    HANDLE handle;
    HANDLE event;  // the pipe event: completes every overlapped operation
    OVERLAPPED overlapped;
    Operation operation;  // the last one started
    bool pending;         // it is under way: its completion sets the event
};

PlatformPipe* PlatformNewPipeServer(std::uint32_t* error) {
    // Manual-reset, initially non-signalled, unnamed.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        *error = GetLastError();
        return nullptr;
    }
    return new PlatformPipe{INVALID_HANDLE_VALUE, event, {}, Operation::kNone, false};
}

bool PlatformServePipe(PlatformPipe* pipe, const char* name, PlatformPipeAccess* access,
                       std::uint32_t* error) {
    // The first instance only: a process that created the name before (with more instances
    // allowed) cannot sit beside the controller and take heartbeats; start-up fails instead.
    HANDLE h = CreateNamedPipeA(
        name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 0, kPipeDefaultTimeoutMs,
        &access->attributes);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    pipe->handle = h;
    return true;
}

void PlatformClosePipe(PlatformPipe* pipe) {
    if (!pipe) return;
    if (pipe->handle != INVALID_HANDLE_VALUE) CloseHandle(pipe->handle);
    CloseHandle(pipe->event);
    delete pipe;
}

namespace {

// Clears the one overlapped record, makes the pipe event its event and resets the event.
void Prepare(PlatformPipe* pipe, Operation operation) {
    ZeroMemory(&pipe->overlapped, sizeof pipe->overlapped);
    pipe->overlapped.hEvent = pipe->event;
    ResetEvent(pipe->event);
    pipe->operation = operation;
    pipe->pending = false;
}

// An operation that did not complete at once: pending, or failed with the last error.
PipeOutcome NotAtOnce(PlatformPipe* pipe) {
    const DWORD error = GetLastError();
    pipe->pending = error == ERROR_IO_PENDING;
    return pipe->pending ? PipeOutcome::Pending() : PipeOutcome::Failed(error);
}

// Reads and discards the rest of a message longer than the request buffer. Windows would
// discard it at the disconnect anyway; under Wine (which takes the pipe's buffer size of 0
// literally) the client's write does not complete until the whole message has been read.
void DiscardRestOfMessage(PlatformPipe* pipe) {
    char scratch[256];
    for (;;) {
        OVERLAPPED ov = {};
        ov.hEvent = pipe->event;
        ResetEvent(pipe->event);
        DWORD n = 0;
        BOOL ok = ReadFile(pipe->handle, scratch, sizeof scratch, &n, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(pipe->handle, &ov, &n, TRUE);
        }
        if (ok || GetLastError() != ERROR_MORE_DATA) return;
    }
}

// A client that connected before the listen (ERROR_PIPE_CONNECTED), or that connected and
// closed again (ERROR_NO_DATA), is a client like any other.
bool IsClient(DWORD error) {
    return error == 0 || error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

// A listen that ended with `error`: a client, with the account of its process, or a failure.
PipeOutcome ListenEnded(PlatformPipe* pipe, DWORD error) {
    if (!IsClient(error)) return PipeOutcome::Failed(error);
    PipeOutcome outcome;
    ULONG pid = 0;
    if (GetNamedPipeClientProcessId(pipe->handle, &pid)) outcome.client = AccountOfProcessId(pid);
    return outcome;
}

// A read that ended: `n` bytes, all of the message or (ERROR_MORE_DATA) its first part, whose
// rest is discarded.
PipeOutcome ReadEnded(PlatformPipe* pipe, DWORD n, bool cut) {
    if (cut) DiscardRestOfMessage(pipe);
    PipeOutcome outcome;
    outcome.bytes = n;
    return outcome;
}

}  // namespace

PipeOutcome PlatformPipeAwaitClient(PlatformPipe* pipe) {
    Prepare(pipe, Operation::kListen);
    SetLastError(0);
    ConnectNamedPipe(pipe->handle, &pipe->overlapped);  // only the last error is examined
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return NotAtOnce(pipe);
    return ListenEnded(pipe, error);
}

PipeOutcome PlatformPipeReadRequest(PlatformPipe* pipe, char* buffer, std::size_t size) {
    Prepare(pipe, Operation::kRead);
    DWORD n = 0;
    if (ReadFile(pipe->handle, buffer, static_cast<DWORD>(size), &n, &pipe->overlapped)) {
        return ReadEnded(pipe, n, false);
    }
    // ERROR_MORE_DATA: the first `size` bytes arrived.
    if (GetLastError() == ERROR_MORE_DATA) return ReadEnded(pipe, static_cast<DWORD>(size), true);
    PipeOutcome outcome = NotAtOnce(pipe);
    if (outcome.state == PipeStart::kFailed) outcome.state = PipeStart::kOver;  // not examined
    return outcome;
}

PipeOutcome PlatformPipeSendReply(PlatformPipe* pipe, const char* bytes, std::size_t size) {
    Prepare(pipe, Operation::kWrite);
    DWORD n = 0;
    if (WriteFile(pipe->handle, bytes, static_cast<DWORD>(size), &n, &pipe->overlapped)) {
        return {};
    }
    PipeOutcome outcome = NotAtOnce(pipe);
    if (outcome.state == PipeStart::kFailed) outcome.state = PipeStart::kOver;  // not examined
    return outcome;
}

PipeOutcome PlatformPipeOutcome(PlatformPipe* pipe) {
    DWORD n = 0;
    const bool ok = GetOverlappedResult(pipe->handle, &pipe->overlapped, &n, FALSE) != 0;
    const DWORD error = ok ? 0 : GetLastError();
    switch (pipe->operation) {
        case Operation::kListen:
            return ListenEnded(pipe, error);
        case Operation::kRead:
            if (ok || error == ERROR_MORE_DATA) return ReadEnded(pipe, n, !ok);
            return {};
        default:
            return {};
    }
}

void PlatformPipeCancel(PlatformPipe* pipe) {
    DWORD ignored = 0;
    CancelIo(pipe->handle);
    GetOverlappedResult(pipe->handle, &pipe->overlapped, &ignored, TRUE);
    pipe->pending = false;
}

void PlatformPipeDisconnect(PlatformPipe* pipe) {
    DisconnectNamedPipe(pipe->handle);
    pipe->pending = false;
}

WaitResult PlatformWait(PlatformEvent* stop, PlatformPipe* pipe, PlatformProcessWatch* process,
                        std::uint32_t timeoutMs) {
    // The stop event first, so that it wins; the pipe's event only while an operation is under
    // way (it stays set after one has completed); the process once watched.
    HANDLE handles[3] = {stop->handle};
    WaitResult meaning[3] = {WaitResult::kStop};
    DWORD count = 1;
    if (pipe && pipe->pending) {
        meaning[count] = WaitResult::kPipe;
        handles[count++] = pipe->event;
    }
    if (process) {
        meaning[count] = WaitResult::kProcess;
        handles[count++] = WatchHandle(process);
    }
    const DWORD r = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    if (r == WAIT_TIMEOUT) return WaitResult::kTimeout;
    if (r >= WAIT_OBJECT_0 + count) return WaitResult::kFailed;
    if (meaning[r - WAIT_OBJECT_0] == WaitResult::kPipe) pipe->pending = false;
    return meaning[r - WAIT_OBJECT_0];
}

struct PlatformPipeClient {
    HANDLE handle;
    HANDLE event;  // completes the client's overlapped operations
};

namespace {

// One overlapped operation on the client handle, waited for at most `timeoutMs`; a
// controller that never answers ends in a failure instead of a hang. A message longer than
// the buffer (ERROR_MORE_DATA) counts as received, cut to the buffer.
bool Finish(HANDLE h, OVERLAPPED* ov, BOOL started, DWORD timeoutMs, DWORD* n) {
    if (started) return GetOverlappedResult(h, ov, n, FALSE) || GetLastError() == ERROR_MORE_DATA;
    if (GetLastError() != ERROR_IO_PENDING) return GetLastError() == ERROR_MORE_DATA;
    if (WaitForSingleObject(ov->hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIo(h);
        GetOverlappedResult(h, ov, n, TRUE);
        return false;
    }
    return GetOverlappedResult(h, ov, n, FALSE) || GetLastError() == ERROR_MORE_DATA;
}

}  // namespace

PipeHolder PlatformPipeHolder(const char* name, bool) {
    // A listening server end answers at once; one busy with a client lets the millisecond
    // pass (ERROR_SEM_TIMEOUT); without one there is no such pipe (ERROR_FILE_NOT_FOUND).
    // Nothing is opened, so the controller sees no client; nor is the server's process told.
    PipeHolder holder;
    holder.served = WaitNamedPipeA(name, 1) || GetLastError() == ERROR_SEM_TIMEOUT ||
                    GetLastError() == ERROR_PIPE_BUSY;
    return holder;
}

PlatformPipeClient* PlatformPipeConnect(const char* name, std::uint32_t timeoutMs) {
    const DWORD start = GetTickCount();
    HANDLE h;
    for (;;) {
        h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
        if (h != INVALID_HANDLE_VALUE) break;
        const DWORD elapsed = GetTickCount() - start;
        // A busy pipe (another client being served): wait for it up to the time-out.
        if (GetLastError() != ERROR_PIPE_BUSY || elapsed >= timeoutMs ||
            !WaitNamedPipeA(name, timeoutMs - elapsed)) {
            return nullptr;
        }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
    return new PlatformPipeClient{h, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
}

bool PlatformPipeClientSend(PlatformPipeClient* client, const char* message, std::size_t length,
                            std::uint32_t timeoutMs) {
    OVERLAPPED ov = {};
    ov.hEvent = client->event;
    ResetEvent(client->event);
    DWORD n = 0;
    const BOOL started = WriteFile(client->handle, message, static_cast<DWORD>(length), &n, &ov);
    return Finish(client->handle, &ov, started, timeoutMs, &n) && n == length;
}

bool PlatformPipeClientReceive(PlatformPipeClient* client, char* buffer, std::size_t size,
                               std::size_t* length, std::uint32_t timeoutMs) {
    OVERLAPPED ov = {};
    ov.hEvent = client->event;
    ResetEvent(client->event);
    DWORD n = 0;
    const BOOL started = ReadFile(client->handle, buffer, static_cast<DWORD>(size), &n, &ov);
    if (!Finish(client->handle, &ov, started, timeoutMs, &n) || n == 0) return false;
    *length = n;
    return true;
}

void PlatformPipeClientServer(PlatformPipeClient* client, std::uint32_t* pid,
                              std::string* account) {
    ULONG server = 0;
    const bool known = GetNamedPipeServerProcessId(client->handle, &server) != 0;
    *pid = known ? server : 0;
    *account = known ? AccountOfProcessId(server) : "";
}

void PlatformPipeClientClose(PlatformPipeClient* client) {
    if (!client) return;
    CloseHandle(client->event);
    CloseHandle(client->handle);
    delete client;
}

namespace {

bool (*gConsoleHandler)(std::uint32_t) = nullptr;

BOOL WINAPI ConsoleTrampoline(DWORD type) {
    return gConsoleHandler(type) ? TRUE : FALSE;
}

}  // namespace

bool PlatformInstallConsoleHandler(bool (*handler)(std::uint32_t eventType)) {
    gConsoleHandler = handler;
    return SetConsoleCtrlHandler(ConsoleTrampoline, TRUE) != 0;
}
