// Linux backend of the pipe-server, pipe-client and console ports. The pipe is an
// abstract-namespace SOCK_SEQPACKET socket named by the pipe's text byte for byte: message
// boundaries like a message-mode pipe, open to every local process like a null access list.
#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/linux/linux_io.h"
#include "platform/pipe_client.h"
#include "platform/pipe_server.h"

PlatformEvent* PlatformCreateEvent() {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    auto* event = new PlatformEvent;
    event->fd = fd;
    return event;
}

bool PlatformEventIsSet(PlatformEvent* event) {
    return event->set.load(std::memory_order_acquire);
}

void PlatformSetEvent(PlatformEvent* event) {
    event->set.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    ssize_t ignored = write(event->fd, &one, sizeof one);
    (void)ignored;
}

void PlatformCloseEvent(PlatformEvent* event) {
    if (!event) return;
    close(event->fd);
    delete event;
}

struct PlatformPipeAccess {};

PipeAccessStep PlatformOpenPipeAccess(PlatformPipeAccess** access, std::uint32_t*) {
    *access = new PlatformPipeAccess;  // an abstract socket is open to everyone anyway
    return PipeAccessStep::kMade;
}

void PlatformFreePipeAccess(PlatformPipeAccess* access) {
    delete access;
}

namespace {

constexpr int kBacklog = 16;  // clients queue here while one is served, as a busy pipe waits
// How often a client tries again while the queue is full: often enough to take a free place
// at once, rarely enough to cost nothing.
constexpr int kBusyRetryMs = 10;
constexpr int kTcpListen = 10;  // the socket table's state of a listening socket (TCP_LISTEN)

enum class Pending { kNone, kListen, kRead, kWrite };

bool AbstractAddress(const char* name, sockaddr_un* addr, socklen_t* length) {
    const std::size_t n = std::strlen(name);
    if (n + 1 > sizeof addr->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path + 1, name, n);  // leading zero byte: abstract namespace
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    return true;
}

}  // namespace

struct PlatformPipe {
    int listener = -1;
    int client = -1;
    std::string clientAccount;  // the client's user id, as the kernel gave it at accept
    Pending pending = Pending::kNone;
    Pending last = Pending::kNone;  // the operation the last wait completed
    int listenError = 0;            // why the last listen gave no client, 0 when it gave one
    char* readBuffer = nullptr;
    std::size_t readSize = 0, bytesRead = 0;
    const char* writeBytes = nullptr;
    std::size_t writeSize = 0;
};

PlatformPipe* PlatformNewPipeServer(std::uint32_t*) {
    return new PlatformPipe;  // poll tells when an operation can complete: no event needed
}

bool PlatformServePipe(PlatformPipe* pipe, const char* name, PlatformPipeAccess*,
                       std::uint32_t* error) {
    sockaddr_un addr;
    socklen_t length;
    const int fd = AbstractAddress(name, &addr, &length)
                       ? socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)
                       : -1;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
        listen(fd, kBacklog) != 0) {
        *error = static_cast<std::uint32_t>(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    pipe->listener = fd;
    return true;
}

void PlatformClosePipe(PlatformPipe* pipe) {
    if (!pipe) return;
    if (pipe->client >= 0) close(pipe->client);
    if (pipe->listener >= 0) close(pipe->listener);
    delete pipe;
}

namespace {

// Plain accept: the client's operations pass MSG_DONTWAIT themselves, and children never
// inherit it (they are started with every descriptor past the standard three closed), so no
// flags are needed, and fault injection that wraps accept reaches it.
bool Accept(PlatformPipe* pipe) {
    const int fd = accept(pipe->listener, nullptr, nullptr);
    pipe->listenError = fd < 0 ? errno : 0;
    if (fd < 0) return false;
    pipe->client = fd;
    ucred peer{};
    socklen_t size = sizeof peer;
    pipe->clientAccount =
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 ? std::to_string(peer.uid) : "";
    return true;
}

void FinishRead(PlatformPipe* pipe) {
    // A longer message is cut to the buffer; SOCK_SEQPACKET discards its rest.
    const ssize_t n = recv(pipe->client, pipe->readBuffer, pipe->readSize, MSG_DONTWAIT);
    pipe->bytesRead = n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Completes the operation whose readiness a wait reported.
void Complete(PlatformPipe* pipe) {
    const Pending op = pipe->pending;
    pipe->pending = Pending::kNone;
    pipe->last = op;
    if (op == Pending::kListen) Accept(pipe);
    if (op == Pending::kRead) FinishRead(pipe);
    if (op == Pending::kWrite) {
        ssize_t ignored =
            send(pipe->client, pipe->writeBytes, pipe->writeSize, MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)ignored;
    }
}

}  // namespace

namespace {

// A listen that is over: a client with its account, or why none came.
PipeOutcome ListenEnded(PlatformPipe* pipe) {
    if (pipe->client < 0) return PipeOutcome::Failed(static_cast<std::uint32_t>(pipe->listenError));
    PipeOutcome outcome;
    outcome.client = pipe->clientAccount;
    return outcome;
}

PipeOutcome ReadEnded(PlatformPipe* pipe) {
    PipeOutcome outcome;
    outcome.bytes = pipe->bytesRead;
    return outcome;
}

}  // namespace

PipeOutcome PlatformPipeAwaitClient(PlatformPipe* pipe) {
    // A client already waiting is taken at once; descriptors used up, say, fail the listen
    // (the client stays queued).
    if (Accept(pipe) || (pipe->listenError != EAGAIN && pipe->listenError != EINTR)) {
        return ListenEnded(pipe);
    }
    pipe->pending = Pending::kListen;
    return PipeOutcome::Pending();
}

PipeOutcome PlatformPipeReadRequest(PlatformPipe* pipe, char* buffer, std::size_t size) {
    pipe->readBuffer = buffer;
    pipe->readSize = size;
    pipe->bytesRead = 0;
    if (pipe->client < 0) return {};  // no client: the read fails, unexamined
    // Usually the message is already there: one recv that does not wait settles it.
    const ssize_t n = recv(pipe->client, buffer, size, MSG_DONTWAIT);
    if (n >= 0 || errno != EAGAIN) {
        pipe->bytesRead = n > 0 ? static_cast<std::size_t>(n) : 0;
        return ReadEnded(pipe);
    }
    pipe->pending = Pending::kRead;
    return PipeOutcome::Pending();
}

PipeOutcome PlatformPipeSendReply(PlatformPipe* pipe, const char* bytes, std::size_t size) {
    if (pipe->client < 0) return {};
    const ssize_t n = send(pipe->client, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0 || errno != EAGAIN) return {};
    pipe->writeBytes = bytes;
    pipe->writeSize = size;
    pipe->pending = Pending::kWrite;
    return PipeOutcome::Pending();
}

PipeOutcome PlatformPipeOutcome(PlatformPipe* pipe) {
    if (pipe->last == Pending::kListen) return ListenEnded(pipe);
    if (pipe->last == Pending::kRead) return ReadEnded(pipe);
    return {};
}

void PlatformPipeCancel(PlatformPipe* pipe) {
    pipe->pending = Pending::kNone;
}

void PlatformPipeDisconnect(PlatformPipe* pipe) {
    if (pipe->client >= 0) close(pipe->client);  // a message not yet read is discarded
    pipe->client = -1;
    pipe->pending = Pending::kNone;
}

WaitResult PlatformWait(PlatformEvent* stop, PlatformPipe* pipe, PlatformProcessWatch* process,
                        std::uint32_t timeoutMs) {
    pollfd fds[3] = {{stop->fd, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
    const Pending pending = pipe ? pipe->pending : Pending::kNone;
    if (pending == Pending::kListen) fds[1] = {pipe->listener, POLLIN, 0};
    if (pending == Pending::kRead) fds[1] = {pipe->client, POLLIN, 0};
    if (pending == Pending::kWrite) fds[1] = {pipe->client, POLLOUT, 0};
    if (process) fds[2] = {WatchDescriptor(process), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs != kWaitForever) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int n = poll(fds, 3, wait);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return WaitResult::kFailed;
        if (n == 0) return WaitResult::kTimeout;
        if (fds[0].revents != 0) return WaitResult::kStop;  // a stop wins over a client
        if (fds[1].revents != 0) {
            Complete(pipe);
            return WaitResult::kPipe;
        }
        return WaitResult::kProcess;
    }
}

struct PlatformPipeClient {
    int fd;
};

namespace {

constexpr int kNetlinkReplyBytes = 32768;  // one batch of the socket table's answer

// The listening abstract socket named `name`, from the kernel's socket table (sock_diag):
// its inode and its owner's user id. False when there is none, or the table cannot be asked.
bool ListeningSocket(const char* name, std::uint32_t* inode, std::uint32_t* uid, bool* asked) {
    *asked = false;
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_states = 1u << kTcpListen;
    query.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_UID;
    if (send(fd, &query, sizeof query, 0) != static_cast<ssize_t>(sizeof query)) {
        close(fd);
        return false;
    }
    const std::string wanted = std::string(1, '\0') + name;
    std::vector<char> buffer(kNetlinkReplyBytes);
    bool found = false, done = false;
    while (!done) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        // The messages one after the other, each aligned; read by copy, never in place.
        const std::size_t got = static_cast<std::size_t>(n);
        for (std::size_t at = 0; !done && at + sizeof(nlmsghdr) <= got;) {
            nlmsghdr h;
            std::memcpy(&h, buffer.data() + at, sizeof h);
            if (h.nlmsg_len < sizeof h || at + h.nlmsg_len > got) break;
            if (h.nlmsg_type == NLMSG_DONE || h.nlmsg_type == NLMSG_ERROR) {
                *asked = h.nlmsg_type == NLMSG_DONE;
                done = true;
                break;
            }
            unix_diag_msg entry;
            const std::size_t body = at + NLMSG_LENGTH(0);
            if (h.nlmsg_len >= NLMSG_LENGTH(sizeof entry)) {
                std::memcpy(&entry, buffer.data() + body, sizeof entry);
                std::string socketName;
                bool hasUid = false;
                std::uint32_t owner = 0;
                const std::size_t end = at + h.nlmsg_len;
                for (std::size_t a = body + NLMSG_ALIGN(sizeof entry); a + sizeof(rtattr) <= end;) {
                    rtattr attribute;
                    std::memcpy(&attribute, buffer.data() + a, sizeof attribute);
                    if (attribute.rta_len < sizeof attribute || a + attribute.rta_len > end) break;
                    const char* data = buffer.data() + a + RTA_LENGTH(0);
                    const std::size_t size = attribute.rta_len - RTA_LENGTH(0);
                    if (attribute.rta_type == UNIX_DIAG_NAME) {
                        socketName.assign(data, size);
                    } else if (attribute.rta_type == UNIX_DIAG_UID && size >= sizeof owner) {
                        std::memcpy(&owner, data, sizeof owner);
                        hasUid = true;
                    }
                    a += RTA_ALIGN(attribute.rta_len);
                }
                if (!found && socketName == wanted && hasUid) {
                    found = true;
                    *inode = entry.udiag_ino;
                    *uid = owner;
                }
            }
            at += NLMSG_ALIGN(h.nlmsg_len);
        }
    }
    close(fd);
    return found;
}

// The process that holds socket `inode`, among the processes of account `uid` whose
// descriptors the caller may look at; 0 when none is found.
std::uint32_t SocketHolder(std::uint32_t inode, std::uint32_t uid) {
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    std::uint32_t holder = 0;
    while (holder == 0) {
        const dirent* e = readdir(proc);
        if (!e) break;
        char* end = nullptr;
        const unsigned long pid = std::strtoul(e->d_name, &end, 10);
        struct stat st;
        const std::string fdDir = std::string("/proc/") + e->d_name + "/fd";
        if (*end != '\0' || pid == 0 || stat(fdDir.c_str(), &st) != 0 || st.st_uid != uid) continue;
        DIR* fds = opendir(fdDir.c_str());
        if (!fds) continue;
        while (const dirent* f = readdir(fds)) {
            char target[64];
            const ssize_t n =
                readlink((fdDir + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && wanted.compare(0, std::string::npos, target, n) == 0) {
                holder = static_cast<std::uint32_t>(pid);
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return holder;
}

// A listening abstract socket of that name in /proc/net/unix, where the socket table cannot
// be asked. Lines: "Num RefCount Protocol Flags Type St Inode Path"; a listening socket has
// __SO_ACCEPTCON (0x10000) in its flags, an abstract name is shown after an '@'.
bool ListedAsListening(const char* name) {
    constexpr unsigned long kListening = 0x10000;
    std::ifstream table("/proc/net/unix");
    std::string line;
    const std::string wanted = std::string("@") + name;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, st, inode, path;
        if (!(fields >> num >> refs >> protocol >> flags >> type >> st >> inode)) continue;
        std::getline(fields >> std::ws, path);
        if (path == wanted && (std::strtoul(flags.c_str(), nullptr, 16) & kListening) != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

PipeHolder PlatformPipeHolder(const char* name, bool findProcess) {
    PipeHolder holder;
    std::uint32_t inode = 0, uid = 0;
    bool asked = false;
    if (ListeningSocket(name, &inode, &uid, &asked)) {
        holder.served = true;
        holder.account = std::to_string(uid);
        holder.pid = findProcess ? SocketHolder(inode, uid) : 0;
    } else if (!asked) {
        holder.served = ListedAsListening(name);
    }
    return holder;
}

// The client is non-blocking throughout: a blocking connect waits without limit while the
// controller's queue of waiting clients is full, and a send or receive could wait on a hung
// server.
PlatformPipeClient* PlatformPipeConnect(const char* name, std::uint32_t timeoutMs) {
    sockaddr_un addr;
    socklen_t addrLength;
    if (!AbstractAddress(name, &addr, &addrLength)) return nullptr;
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    // A full queue answers EAGAIN, like a busy pipe: try again until the time-out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int rc;
    while ((rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), addrLength)) != 0 &&
           errno == EAGAIN && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kBusyRetryMs));
    }
    if (rc != 0) {
        close(fd);
        return nullptr;
    }
    return new PlatformPipeClient{fd};
}

bool PlatformPipeClientSend(PlatformPipeClient* client, const char* message, std::size_t length,
                            std::uint32_t timeoutMs) {
    pollfd p = {client->fd, POLLOUT, 0};
    return poll(&p, 1, static_cast<int>(timeoutMs)) > 0 &&
           send(client->fd, message, length, MSG_NOSIGNAL | MSG_DONTWAIT) ==
               static_cast<ssize_t>(length);
}

bool PlatformPipeClientReceive(PlatformPipeClient* client, char* buffer, std::size_t size,
                               std::size_t* length, std::uint32_t timeoutMs) {
    pollfd p = {client->fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeoutMs)) <= 0) return false;
    const ssize_t n = recv(client->fd, buffer, size, MSG_DONTWAIT);
    if (n <= 0) return false;
    *length = static_cast<std::size_t>(n);
    return true;
}

void PlatformPipeClientServer(PlatformPipeClient* client, std::uint32_t* pid,
                              std::string* account) {
    // The credentials the server had when it began to listen, kept by the kernel.
    ucred peer{};
    socklen_t size = sizeof peer;
    const bool known = getsockopt(client->fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    *pid = known ? static_cast<std::uint32_t>(peer.pid) : 0;
    *account = known ? std::to_string(peer.uid) : "";
}

void PlatformPipeClientClose(PlatformPipeClient* client) {
    if (!client) return;
    close(client->fd);
    delete client;
}

namespace {

bool (*gConsoleHandler)(std::uint32_t) = nullptr;

// SIGINT is Ctrl+C and SIGQUIT Ctrl+Break; SIGTERM, what a container runtime sends its entry
// point to stop it, and SIGHUP, what a closed terminal sends, are taken as Ctrl+C, so that
// the run ends cleanly (its end banner, its state marked as ended, its metrics file gone). They are
// blocked in every thread and taken here with sigwait, so the handler runs on an ordinary thread
// (it may print and lock), as on Windows' console control thread. An event it does not handle gets
// the default action.
void ConsoleSignalThread(sigset_t signals) {
    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0) continue;
        const std::uint32_t type = sig == SIGQUIT ? kConsoleCtrlBreak : kConsoleCtrlC;
        if (!gConsoleHandler(type)) {
            signal(sig, SIG_DFL);
            pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
            raise(sig);
        }
    }
}

}  // namespace

bool PlatformInstallConsoleHandler(bool (*handler)(std::uint32_t eventType)) {
    gConsoleHandler = handler;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGQUIT);
    sigaddset(&signals, SIGTERM);
    // A run started through nohup has SIGHUP ignored on purpose: it is to outlive its
    // terminal, and does.
    struct sigaction hangup {};
    const bool nohup = sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler == SIG_IGN;
    if (!nohup) sigaddset(&signals, SIGHUP);
    // A shell starts background jobs with SIGINT ignored, and an ignored signal is discarded
    // before sigwait could take it; on Windows Ctrl+C always reaches the handler.
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    if (!nohup) signal(SIGHUP, SIG_DFL);
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return false;
    std::thread(ConsoleSignalThread, signals).detach();
    return true;
}
