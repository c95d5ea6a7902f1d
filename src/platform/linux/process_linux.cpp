// Linux backend of the processes port: starting command lines, the raw facts about a process
// from /proc (what every user may read: its stat line, command line and status, and its
// executable where readable), watching a process through a pidfd, and ending processes.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/files.h"
#include "platform/linux/linux_io.h"
#include "platform/linux/loaded_libraries.h"
#include "platform/processes.h"

#ifndef P_PIDFD
#define P_PIDFD 3  // waitid's id type for a pidfd (Linux 5.4)
#endif

extern char** environ;

namespace {

constexpr std::size_t kShebangBytes = 256;  // the "#!" line looked at
constexpr std::size_t kMaxCommandLineBytes = 1 << 16;
constexpr std::size_t kMaxStatusBytes = 1 << 14;         // /proc/PID/status
constexpr int kStatFlags = 9;                            // /proc/PID/stat: the process's flags
constexpr std::uint64_t kKernelThreadFlag = 0x00200000;  // PF_KTHREAD

int PidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Reads at most `limit` bytes of a /proc file; false when it cannot be read.
bool ReadProcFile(std::uint32_t pid, const char* name, std::size_t limit, std::string* out) {
    char path[kProcPathBytes];
    std::snprintf(path, sizeof path, "/proc/%u/%s", pid, name);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    char buf[4096];
    ssize_t n = 0;
    while (out->size() < limit && (n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        out->append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return n >= 0;
}

// /proc/PID/stat after the command name in parentheses (which may hold blanks): from the
// blank after its ')', so that field 3 (the state) comes first. False when unreadable.
bool StatAfterName(std::uint32_t pid, std::string* rest) {
    std::string stat;
    if (!ReadProcFile(pid, "stat", 1024, &stat)) return false;
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    rest->assign(stat, close + 1, std::string::npos);
    return true;
}

// A numeric field of /proc/PID/stat, counted from 1 as proc(5) does.
bool StatField(std::uint32_t pid, int field, std::uint64_t* value) {
    std::string rest;
    if (!StatAfterName(pid, &rest)) return false;
    int index = 2;  // ')' ends field 2
    std::size_t at = 0;
    for (; at < rest.size() && index < field; ++at) {
        if (rest[at] == ' ') ++index;
    }
    if (index != field) return false;
    *value = std::strtoull(rest.c_str() + at, nullptr, 10);
    return true;
}

// The state letter of /proc/PID/stat (field 3), or 0 when the process does not exist.
char ProcessState(std::uint32_t pid) {
    std::string rest;
    return StatAfterName(pid, &rest) && rest.size() > 1 && rest[0] == ' ' ? rest[1] : 0;
}

bool Running(char state) {
    return state != 0 && state != 'Z' && state != 'X';
}

// The executable's full path (/proc/PID/exe without the " (deleted)" mark), or "" where the
// caller may not read it.
std::string ExecutablePath(std::uint32_t pid) {
    char path[kProcPathBytes], target[4096];
    std::snprintf(path, sizeof path, "/proc/%u/exe", pid);
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return "";
    std::string t(target, static_cast<std::size_t>(n));
    const std::string deleted = " (deleted)";
    if (t.size() > deleted.size() &&
        t.compare(t.size() - deleted.size(), deleted.size(), deleted) == 0) {
        t.resize(t.size() - deleted.size());
    }
    return t;
}

// The words of a process's command line; false when unreadable or empty (a kernel thread).
bool CommandWords(std::uint32_t pid, std::vector<std::string>* words) {
    std::string all;
    if (!ReadProcFile(pid, "cmdline", kMaxCommandLineBytes, &all) || all.empty()) return false;
    words->clear();
    for (std::size_t start = 0; start < all.size();) {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        words->push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

// The words of the "#!" line of the file at `path`, or none when it is not a regular file
// that begins with one. Only a regular file is opened, and without waiting: a word of another
// process's command line may name a FIFO or a device, whose opening would never return.
std::vector<std::string> ShebangWords(const std::string& path) {
    struct stat named;
    if (stat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return {};
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return {};
    struct stat st;
    char line[kShebangBytes] = "";
    const ssize_t n =
        fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, line, sizeof line - 1) : -1;
    close(fd);
    if (n < 2 || line[0] != '#' || line[1] != '!') return {};
    line[n] = '\0';
    if (char* end = std::strchr(line, '\n')) *end = '\0';
    return SplitAtBlanks(line + 2);
}

// The words of the line of /proc/PID/status that begins with `key` ("\nNSpid:").
std::vector<std::string> StatusLine(const std::string& status, const char* key) {
    const std::size_t at = status.find(key);
    if (at == std::string::npos) return {};
    const std::size_t begin = at + std::strlen(key);
    const std::size_t end = status.find('\n', begin);
    return SplitAtBlanks(status.substr(begin, end == std::string::npos ? end : end - begin));
}

// How many PID namespaces process `pid` is a member of, counted from that of /proc: the
// entries of its "NSpid:" line (0 when unknown: kernels before 4.1 have no such line); and
// the account it runs as: the real user id of its "Uid:" line ("" when unreadable).
void StatusFacts(std::uint32_t pid, std::size_t* depth, std::string* account) {
    std::string status;
    *depth = 0;
    account->clear();
    if (!ReadProcFile(pid, "status", kMaxStatusBytes, &status)) return;
    *depth = StatusLine(status, "\nNSpid:").size();
    const std::vector<std::string> uids = StatusLine(status, "\nUid:");
    if (!uids.empty()) *account = uids[0];
}

bool IsExecutableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// ---- Watches -------------------------------------------------------------------------------

// pidfds of the caller's own children whose watch was closed before they ended: reaped as
// soon as they have, so that none stays a zombie.
std::mutex gUnreapedLock;
std::vector<int> gUnreaped;
// Own children whose end their starter waits for itself (an open watch that wants the exit
// code, a program run to its end, the middle process of a start): the reaper of a controller
// that is PID 1 leaves them to it. Under gUnreapedLock, which a start holds from the spawn
// until the child is entered here, so that the reaper never takes one in between.
std::vector<pid_t> gAwaited;

void Await(pid_t pid) {
    gAwaited.push_back(pid);
}

void AwaitNoLonger(pid_t pid) {
    std::lock_guard<std::mutex> lock(gUnreapedLock);
    gAwaited.erase(std::remove(gAwaited.begin(), gAwaited.end(), pid), gAwaited.end());
}

// Reaps child `fd` when it has ended; true when it was reaped (`info` then tells how).
bool Reap(int fd, siginfo_t* info) {
    std::memset(info, 0, sizeof *info);
    return waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fd), info, WEXITED | WNOHANG) ==
               0 &&
           info->si_pid != 0;
}

void ReapEnded() {
    std::lock_guard<std::mutex> lock(gUnreapedLock);
    for (std::size_t i = 0; i < gUnreaped.size();) {
        siginfo_t info;
        if (Reap(gUnreaped[i], &info) || errno == ECHILD) {
            close(gUnreaped[i]);
            gUnreaped.erase(gUnreaped.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
}

// ---- Starting ------------------------------------------------------------------------------

// What posix_spawn is given: descriptors beyond the standard three closed, every signal at
// its default (a console run ignores SIGPIPE, which a child must not inherit) and none
// blocked.
struct SpawnSettings {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    // `output`: a descriptor for the child's standard output and error, or -1 for the caller's.
    explicit SpawnSettings(int output = -1) {
        posix_spawn_file_actions_init(&actions);
        if (output >= 0) {
            posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
            posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
        }
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        posix_spawnattr_init(&attr);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSettings() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

// Starts `program` as the caller's own child, whose end the caller awaits itself (a reaper
// of a controller that is PID 1 leaves it alone); `pidfd` (when not null) receives a pidfd
// on it, taken before anyone could reap it. 0, with errno set, when it could not be started.
pid_t SpawnAwaited(const std::string& program, char* const* argv, SpawnSettings& settings,
                   int* pidfd) {
    std::lock_guard<std::mutex> lock(gUnreapedLock);
    pid_t child = 0;
    const int rc =
        posix_spawn(&child, program.c_str(), &settings.actions, &settings.attr, argv, environ);
    if (rc != 0) {
        errno = rc;
        return 0;
    }
    if (pidfd) *pidfd = PidfdOpen(child);
    if (!pidfd || *pidfd >= 0) Await(child);
    return child;
}

// How long the start of a program through the middle process may take: the middle only
// starts it and reports its id. Past it the start counts as failed, so that a start that
// hangs (an executable on a file system that does not answer) cannot hold the run loop.
constexpr int kDetachedStartMs = 2000;

// Reaps the middle process when it has ended already, else leaves it to be reaped as soon as
// it has: the caller never waits for it.
void ReapMiddle(pid_t middle) {
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(middle, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    AwaitNoLonger(middle);
    if (done != 0) return;
    const int fd = PidfdOpen(middle);
    if (fd < 0) return;
    std::lock_guard<std::mutex> lock(gUnreapedLock);
    gUnreaped.push_back(fd);
}

// Starts the program through a middle process that ends at once, so that the child belongs
// to init from the start: it leaves no zombie here. The new id, or 0 with errno set.
pid_t SpawnDetached(const std::string& program, char* const* argv, SpawnSettings& settings) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return 0;
    std::unique_lock<std::mutex> lock(gUnreapedLock);
    const pid_t middle = fork();
    if (middle > 0) Await(middle);
    lock.unlock();
    if (middle == 0) {
        pid_t child = -1;
        const int rc =
            posix_spawn(&child, program.c_str(), &settings.actions, &settings.attr, argv, environ);
        const std::int64_t result = rc == 0 ? child : -rc;
        const ssize_t ignored = write(report[1], &result, sizeof result);
        (void)ignored;
        _exit(0);
    }
    close(report[1]);
    std::int64_t result = -EAGAIN;
    if (middle > 0) {
        pollfd p = {report[0], POLLIN, 0};
        int ready = 0;
        while ((ready = poll(&p, 1, kDetachedStartMs)) < 0 && errno == EINTR) {
        }
        if (ready == 0) {
            result = -ETIMEDOUT;
            kill(middle, SIGKILL);
        } else if (read(report[0], &result, sizeof result) != sizeof result) {
            result = -EIO;
        }
        ReapMiddle(middle);
    } else {
        result = -errno;
    }
    close(report[0]);
    if (result <= 0) {
        errno = static_cast<int>(-result);
        return 0;
    }
    return static_cast<pid_t>(result);
}

// The reaper of a controller that is the first process of its PID namespace (a container's
// entry point): every orphan of the namespace becomes its child, the job starter's ended
// children and KILL (started through a middle process) among them, and each is reaped as
// soon as it has ended, but for those whose starter awaits them itself. It waits without
// waking while no child ends.
void ReapOrphans() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);  // signals are the other threads' to take
    constexpr int kAwaitedMs = 10;              // an awaited child is reaped by its starter soon
    constexpr int kNoChildMs = 1000;            // none at all: looked at again after a while
    for (;;) {
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0) {
            if (errno != EINTR) usleep(kNoChildMs * 1000);
            continue;
        }
        bool awaited = false;
        {
            std::lock_guard<std::mutex> lock(gUnreapedLock);
            awaited = std::find(gAwaited.begin(), gAwaited.end(), info.si_pid) != gAwaited.end();
            if (!awaited) waitpid(info.si_pid, nullptr, WNOHANG);
        }
        if (awaited) usleep(kAwaitedMs * 1000);
    }
}

}  // namespace

void StartReaperWhenFirstProcess() {
    if (getpid() == 1) std::thread(ReapOrphans).detach();
}

struct PlatformProcessWatch {
    std::uint32_t pid;
    int fd;      // the pidfd
    bool child;  // the caller's own child, reaped through the watch
    bool ended = false;
    bool codeKnown = false;
    std::uint32_t code = 0;
};

bool PlatformFindProgram(const char* name, std::string* path) {
    const std::string n = name;
    if (n.find('/') != std::string::npos) {
        *path = n;
        if (IsExecutableFile(n)) return true;
        errno = ENOENT;
        return false;
    }
    // As Windows finds it for CreateProcessA: the controller's folder, the current folder,
    // then PATH.
    std::vector<std::string> dirs;
    char exe[4096];
    if (PlatformExecutablePath(exe, sizeof exe)) {
        const std::string e = exe;
        dirs.push_back(e.substr(0, e.rfind('/')));
    }
    dirs.push_back(".");
    const char* envPath = std::getenv("PATH");
    const std::string rest = envPath ? envPath : "";
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t colon = rest.find(':', start);
        if (colon == std::string::npos) colon = rest.size();
        if (colon > start) dirs.push_back(rest.substr(start, colon - start));
        start = colon + 1;
    }
    for (const auto& dir : dirs) {
        if (IsExecutableFile(dir + "/" + n)) {
            *path = dir + "/" + n;
            return true;
        }
    }
    errno = ENOENT;
    return false;
}

namespace {

// The child's own descriptor for its output (see ChildOutput), -1 for the caller's. Appending
// to a regular file never waits; a journal stream is a socket of journald's, which the child
// holds on its own.
int ChildOutputDescriptor(const ChildOutput* output, std::string* problem) {
    if (!output) return -1;
    if (!output->file.empty()) {
        const int fd =
            open(LinuxPath(output->file.c_str()).c_str(),
                 O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0640);
        if (fd >= 0) return fd;
        if (problem) *problem = output->file + " cannot be opened: " + std::strerror(errno);
        return open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    if (output->journalName.empty()) return -1;
    const JournalLibrary* journal = LoadJournalLibrary(nullptr);
    if (!journal) return -1;  // no journal to reach: where the caller's output goes
    const int fd = journal->streamFd(output->journalName.c_str(), LOG_INFO, 0);
    if (fd < 0) return -1;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

}  // namespace

bool PlatformLaunch(const char* commandLine, std::uint32_t* pid, std::uint64_t* creationTime,
                    PlatformProcessWatch** watch, const ChildOutput* output,
                    std::string* outputProblem) {
    ReapEnded();
    const std::vector<std::string> tokens = SplitAtBlanks(commandLine);
    std::string program;
    if (tokens.empty()) {
        errno = ENOENT;
        return false;
    }
    if (!PlatformFindProgram(tokens[0].c_str(), &program)) return false;
    std::vector<char*> argv;
    for (const auto& t : tokens)
        argv.push_back(const_cast<char*>(t.c_str()));
    argv.push_back(nullptr);
    const int out = ChildOutputDescriptor(output, outputProblem);
    SpawnSettings settings(out);
    pid_t child = 0;
    int fd = -1;
    if (watch) {
        // The caller's own child, so that its exit code can be had; the watch reaps it.
        child = SpawnAwaited(program, argv.data(), settings, &fd);
    } else {
        child = SpawnDetached(program, argv.data(), settings);
    }
    if (out >= 0) {
        const int error = errno;
        close(out);
        errno = error;
    }
    if (child == 0) return false;
    *pid = static_cast<std::uint32_t>(child);
    if (!StatField(*pid, kStatStartTime, creationTime)) *creationTime = 0;
    if (watch) *watch = fd >= 0 ? new PlatformProcessWatch{*pid, fd, true} : nullptr;
    return true;
}

bool PlatformRunProgram(const std::string& program, const std::vector<std::string>& arguments,
                        std::uint32_t* exitCode) {
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    SpawnSettings settings;
    const pid_t child = SpawnAwaited(program, argv.data(), settings, nullptr);
    if (child == 0) return false;
    int status = 0;
    bool waited = true;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            waited = false;
            break;
        }
    }
    AwaitNoLonger(child);
    if (!waited) return false;
    *exitCode = static_cast<std::uint32_t>(WIFEXITED(status) ? WEXITSTATUS(status)
                                                             : 128 + WTERMSIG(status));
    return true;
}

PlatformProcessWatch* PlatformWatchProcess(std::uint32_t pid, std::uint64_t creationTime) {
    if (pid == 0) return nullptr;
    const int fd = PidfdOpen(static_cast<pid_t>(pid));
    if (fd < 0) return nullptr;
    // The pidfd is taken first: what the checks below find is then the process it refers to.
    std::uint64_t created = 0, parent = 0;
    if (!Running(ProcessState(pid)) || !StatField(pid, kStatStartTime, &created) ||
        created != creationTime) {
        close(fd);
        return nullptr;
    }
    const bool child =
        StatField(pid, kStatParent, &parent) && parent == static_cast<std::uint64_t>(getpid());
    return new PlatformProcessWatch{pid, fd, child};
}

int WatchDescriptor(PlatformProcessWatch* watch) {
    return watch->fd;
}

bool PlatformWatchedEnded(PlatformProcessWatch* watch, bool* codeKnown, std::uint32_t* exitCode) {
    if (!watch->ended) {
        pollfd p = {watch->fd, POLLIN, 0};
        watch->ended = poll(&p, 1, 0) > 0;
        siginfo_t info;
        if (watch->ended && watch->child && Reap(watch->fd, &info)) {
            watch->codeKnown = true;
            watch->code = static_cast<std::uint32_t>(
                info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status);
            AwaitNoLonger(static_cast<pid_t>(watch->pid));
        }
    }
    if (codeKnown) *codeKnown = watch->codeKnown;
    if (exitCode) *exitCode = watch->code;
    return watch->ended;
}

std::string PlatformWatchedAccount(PlatformProcessWatch* watch) {
    std::size_t depth = 0;
    std::string account;
    StatusFacts(watch->pid, &depth, &account);
    // While the watched process has not ended, its id is its own: what was read is its.
    pollfd p = {watch->fd, POLLIN, 0};
    return poll(&p, 1, 0) == 0 ? account : "";
}

bool PlatformEndWatched(PlatformProcessWatch* watch) {
    return syscall(SYS_pidfd_send_signal, watch->fd, SIGKILL, nullptr, 0) == 0;
}

void PlatformCloseWatch(PlatformProcessWatch* watch) {
    if (!watch) return;
    if (watch->child) AwaitNoLonger(static_cast<pid_t>(watch->pid));
    siginfo_t info;
    if (watch->child && !watch->codeKnown && !Reap(watch->fd, &info)) {
        std::lock_guard<std::mutex> lock(gUnreapedLock);
        gUnreaped.push_back(watch->fd);  // reaped once it has ended
    } else {
        close(watch->fd);
    }
    delete watch;
}

bool PlatformProcessFacts(std::uint32_t pid, ProcessFacts* facts) {
    *facts = ProcessFacts{};
    if (pid == 0 || !Running(ProcessState(pid)) ||
        !StatField(pid, kStatStartTime, &facts->created)) {
        return false;
    }
    facts->executablePath = ExecutablePath(pid);
    facts->commandLineKnown = CommandWords(pid, &facts->words);
    std::uint64_t flags = 0;
    facts->kernelThread = StatField(pid, kStatFlags, &flags) && (flags & kKernelThreadFlag);
    StatusFacts(pid, &facts->namespaceDepth, &facts->account);
    return true;
}

std::size_t PlatformOwnNamespaceDepth() {
    static const std::size_t depth = [] {
        std::size_t d = 0;
        std::string account;
        StatusFacts(static_cast<std::uint32_t>(getpid()), &d, &account);
        return d;
    }();
    return depth;
}

std::string PlatformOwnAccount() {
    return std::to_string(getuid());
}

std::vector<std::string> PlatformScriptLine(std::uint32_t pid, const std::string& path) {
    if (path.empty()) return {};
    // A relative path is relative to the process's own current folder.
    return ShebangWords(path[0] == '/' ? path : "/proc/" + std::to_string(pid) + "/cwd/" + path);
}

std::uint32_t PlatformCurrentProcessId() {
    return static_cast<std::uint32_t>(getpid());
}

bool PlatformListProcesses(std::vector<ProcessEntry>* out) {
    DIR* proc = opendir("/proc");
    if (!proc) return false;
    while (dirent* e = readdir(proc)) {
        char* end = nullptr;
        const unsigned long pid = std::strtoul(e->d_name, &end, 10);
        if (*end != '\0' || pid == 0) continue;
        std::uint64_t parent = 0;
        if (!StatField(static_cast<std::uint32_t>(pid), kStatParent, &parent)) continue;
        out->push_back({static_cast<std::uint32_t>(pid), static_cast<std::uint32_t>(parent), ""});
    }
    closedir(proc);
    return true;
}

bool PlatformProcessExists(std::uint32_t pid) {
    return pid != 0 && Running(ProcessState(pid));  // /proc/PID/stat may be read by everyone
}

bool PlatformTerminateProcess(std::uint32_t pid) {
    // A process that has already ended but is not yet reaped (a zombie) is not ended again.
    if (!PlatformProcessExists(pid)) {
        errno = ESRCH;
        return false;
    }
    return kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}
