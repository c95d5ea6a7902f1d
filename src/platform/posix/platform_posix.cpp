// Linux backend of the platform interface: files, errors, time, processes, and event log
// entries (to syslog). The service manager (systemd) has a file of its own.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_io.h"
#include "platform/profile_reader.h"

extern char** environ;

void PlatformPrepareProcess() {
    signal(SIGPIPE, SIG_IGN);
}

bool WriteAll(int fd, const char* data, std::size_t size, std::size_t* written) {
    std::size_t done = 0;
    bool ok = true;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written) *written = done;
    return ok;
}

namespace {

// Windows-style relative paths from INI files (".\QVLJOBCTL.LOG") name the same files here.
std::string LinuxPath(const char* path) {
    std::string p = path;
    for (char& c : p) {
        if (c == '\\') c = '/';
    }
    return p;
}

}  // namespace

std::uint32_t PlatformLastError() {
    return static_cast<std::uint32_t>(errno);
}

void PlatformSetLastError(std::uint32_t code) {
    errno = static_cast<int>(code);
}

namespace {

thread_local int gExplainedCode = 0;
thread_local const char* gExplanation = nullptr;

}  // namespace

void ExplainNextError(int code, const char* text) {
    gExplainedCode = code;
    gExplanation = text;
}

bool PlatformSystemErrorText(std::uint32_t code, std::string* text) {
    if (gExplanation != nullptr && static_cast<int>(code) == gExplainedCode) {
        *text = std::string(gExplanation) + "\r\n";
        gExplanation = nullptr;  // once: a later error of the same code is another one
        return true;
    }
    const int saved = errno;  // callers read the last error again afterwards
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be in `buf`.
    const char* s = strerror_r(static_cast<int>(code), buf, sizeof buf);
    errno = saved;
    if (s == nullptr || *s == '\0') return false;
    *text = std::string(s) + "\r\n";
    return true;
}

std::FILE* PlatformOpenFile(const char* path, const char* mode) {
    return std::fopen(LinuxPath(path).c_str(), mode);
}

bool PlatformExecutablePath(char* out, std::size_t size) {
    if (size == 0) return false;
    ssize_t n = readlink("/proc/self/exe", out, size - 1);
    if (n < 0 || static_cast<std::size_t>(n) >= size - 1) {
        if (n >= 0) errno = ENAMETOOLONG;
        out[0] = '\0';
        return false;
    }
    out[n] = '\0';
    return true;
}

bool PlatformSetCurrentDirectory(const char* dir) {
    return chdir(LinuxPath(dir).c_str()) == 0;
}

bool PlatformIsLeadByte(unsigned char) {
    return false;
}

std::uint32_t PlatformReadProfileString(const char* section, const char* key, const char* def,
                                        char* out, std::uint32_t size, const char* iniPath) {
    return ProfileReadString(section, key, def, out, size, LinuxPath(iniPath).c_str());
}

bool PlatformDeleteFile(const char* path) {
    return unlink(LinuxPath(path).c_str()) == 0;
}

std::vector<std::string> PlatformProfileKeys(const char* section, const char* iniPath) {
    return ProfileKeyNames(section, LinuxPath(iniPath).c_str());
}

bool PlatformReplaceFile(const char* from, const char* to) {
    return rename(LinuxPath(from).c_str(), LinuxPath(to).c_str()) == 0;
}

bool PlatformRenameNoReplace(const char* from, const char* to) {
    const std::string f = LinuxPath(from), t = LinuxPath(to);
    if (renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing target too.
    if (link(f.c_str(), t.c_str()) != 0) return false;
    return unlink(f.c_str()) == 0;
}

struct PlatformAppendFile {
    int fd;
    std::int64_t position;
};

PlatformAppendFile* PlatformOpenAppend(const char* path) {
    int fd = open(LinuxPath(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    struct stat st;
    return new PlatformAppendFile{fd,
                                  fstat(fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1};
}

std::int64_t PlatformAppendPosition(PlatformAppendFile* file) {
    return file->position;
}

bool PlatformAppendBytes(PlatformAppendFile* file, const char* bytes, std::size_t count,
                         bool* torn) {
    // O_APPEND moves to the end and writes in one step, so another appender can never slip
    // between the two; a short write only happens on a full disk or a signal.
    std::size_t written = 0;
    const bool ok = WriteAll(file->fd, bytes, count, &written);
    if (torn) *torn = false;
    if (!ok && written > 0) {
        // Our part ends at the descriptor's offset. When the file still ends there, nothing
        // was appended after it (on a full disk, no other append succeeds either): cut it off.
        const off_t end = lseek(file->fd, 0, SEEK_CUR);
        struct stat st;
        if (end >= static_cast<off_t>(written) && fstat(file->fd, &st) == 0 && st.st_size == end &&
            ftruncate(file->fd, end - static_cast<off_t>(written)) == 0) {
            written = 0;
        } else if (torn) {
            *torn = true;
        }
    }
    if (file->position >= 0) file->position += static_cast<std::int64_t>(written);
    return ok;
}

struct PlatformRotationLock {
    int fd;
};

PlatformRotationLock* PlatformLockRotation(const char* path) {
    std::string folder = LinuxPath(path);
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    // The folder, not the file: the file itself is what the rotation moves away.
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    int rc;
    while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        close(fd);
        return nullptr;
    }
    return new PlatformRotationLock{fd};
}

void PlatformUnlockRotation(PlatformRotationLock* lock) {
    if (!lock) return;
    close(lock->fd);  // releases the flock
    delete lock;
}

void PlatformCloseAppend(PlatformAppendFile* file) {
    if (!file) return;
    close(file->fd);
    delete file;
}

void PlatformLocalTimeNow(std::tm* out) {
    std::time_t now = std::time(nullptr);
    localtime_r(&now, out);
}

void PlatformSleep(std::uint32_t milliseconds) {
    struct timespec ts = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool PlatformRegisterEventSource(const char*, const char*) {
    return true;  // syslog takes any ident
}

bool PlatformDeregisterEventSource(const char*) {
    return true;
}

bool PlatformReportErrorEvent(const char* source, const char* line, const char* text) {
    // openlog keeps the ident pointer, so it must outlive the call; closelog follows at once.
    static char ident[256];
    std::snprintf(ident, sizeof ident, "%s", source);
    openlog(ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    syslog(LOG_ERR, "%s %s", line, text);
    closelog();
    return true;
}

// ---- Processes ----------------------------------------------------------------------------

namespace {

std::vector<std::string> SplitAtBlanks(const char* commandLine) {
    std::vector<std::string> tokens;
    std::string token;
    for (const char* p = commandLine;; ++p) {
        if (*p == ' ' || *p == '\t' || *p == '\0') {
            if (!token.empty()) tokens.push_back(token);
            token.clear();
            if (*p == '\0') break;
        } else {
            token += *p;
        }
    }
    return tokens;
}

bool IsExecutableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The program as Windows would find it for CreateProcessA: the controller's directory, the
// current directory, then PATH. A name with a separator is taken as it is.
bool FindProgram(const std::string& name, std::string* path) {
    if (name.find('/') != std::string::npos) {
        *path = name;
        return IsExecutableFile(name);
    }
    std::vector<std::string> dirs;
    char exe[4096];
    if (PlatformExecutablePath(exe, sizeof exe)) {
        std::string e = exe;
        dirs.push_back(e.substr(0, e.rfind('/')));
    }
    dirs.push_back(".");
    const char* envPath = std::getenv("PATH");
    std::string rest = envPath ? envPath : "";
    size_t start = 0;
    while (start <= rest.size()) {
        size_t colon = rest.find(':', start);
        if (colon == std::string::npos) colon = rest.size();
        if (colon > start) dirs.push_back(rest.substr(start, colon - start));
        start = colon + 1;
    }
    for (const auto& dir : dirs) {
        if (IsExecutableFile(dir + "/" + name)) {
            *path = dir + "/" + name;
            return true;
        }
    }
    errno = ENOENT;
    return false;
}

// /proc/PID/stat after the command name in parentheses (which may hold blanks): from the
// blank after its ')', so that field 3 (the state) comes first. False when unreadable.
bool StatAfterName(std::uint32_t pid, std::string* rest) {
    char path[kProcPathBytes];
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    std::FILE* f = std::fopen(path, "r");
    if (!f) return false;
    char buf[1024];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char* p = std::strrchr(buf, ')');
    if (!p) return false;
    rest->assign(p + 1);
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

// The executable's full path (/proc/PID/exe without the " (deleted)" mark), or "".
std::string ExecutablePath(std::uint32_t pid) {
    char path[kProcPathBytes], target[4096];
    std::snprintf(path, sizeof path, "/proc/%u/exe", pid);
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return "";
    std::string t(target, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (t.size() > deleted.size() &&
        t.compare(t.size() - deleted.size(), deleted.size(), deleted) == 0) {
        t.resize(t.size() - deleted.size());
    }
    return t;
}

std::string BaseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The words of a process's command line (/proc/PID/cmdline); false when unreadable.
bool CommandWords(std::uint32_t pid, std::vector<std::string>* words) {
    char path[kProcPathBytes];
    std::snprintf(path, sizeof path, "/proc/%u/cmdline", pid);
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    std::string all;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        all.append(buf, n);
    std::fclose(f);
    words->clear();
    for (std::size_t start = 0; start < all.size();) {
        const std::size_t end = all.find('\0', start);
        words->push_back(all.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? all.size() : end + 1;
    }
    return true;
}

// True when `script` is a file whose "#!" line runs `executable`, directly or through env:
// the kernel runs such a script as "INTERPRETER SCRIPT ARGS", so /proc/PID/exe names the
// interpreter and the script is the next word. Anything else that merely names the file
// (an editor, a pager) does not run it.
bool RunsScript(const std::string& executable, const std::string& script) {
    // Only a regular file, opened without waiting: the word may name a FIFO or a device
    // (another process's "cat /tmp/fifo"), whose opening or reading would never return.
    struct stat named;
    if (stat(script.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return false;
    const int fd = open(script.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    char line[256] = "";
    const ssize_t n =
        fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, line, sizeof line - 1) : -1;
    close(fd);
    if (n < 2 || line[0] != '#' || line[1] != '!') return false;
    line[n] = '\0';
    if (char* end = std::strchr(line, '\n')) *end = '\0';
    char interpreter[256] = "", next[256] = "";
    if (std::sscanf(line + 2, "%255s %255s", interpreter, next) < 1) return false;
    if (BaseName(interpreter) == "env") return BaseName(next) == BaseName(executable);
    char resolved[4096];
    return realpath(interpreter, resolved) && executable == resolved;
}

// The program a process runs and the index of its first argument among its command words:
// the executable itself, or for a script run through its "#!" line, the script.
struct Program {
    std::string name;
    std::size_t firstArgument = 1;
};

bool ProgramOf(std::uint32_t pid, Program* program, std::vector<std::string>* words) {
    const std::string executable = ExecutablePath(pid);
    if (executable.empty()) return false;
    program->name = BaseName(executable);
    program->firstArgument = 1;
    if (CommandWords(pid, words) && words->size() >= 2 &&
        (*words)[1].find('/') != std::string::npos && RunsScript(executable, (*words)[1])) {
        program->name = BaseName((*words)[1]);
        program->firstArgument = 2;
    }
    return true;
}

std::string ImageName(std::uint32_t pid) {
    Program program;
    std::vector<std::string> words;
    return ProgramOf(pid, &program, &words) ? program.name : "";
}

}  // namespace

bool PlatformLaunch(const char* commandLine, std::uint32_t* pid, std::uint64_t* creationTime) {
    const std::vector<std::string> tokens = SplitAtBlanks(commandLine);
    std::string program;
    if (tokens.empty()) {
        errno = ENOENT;
        return false;
    }
    if (!FindProgram(tokens[0], &program)) return false;
    std::vector<char*> argv;
    for (const auto& t : tokens)
        argv.push_back(const_cast<char*>(t.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // inherit nothing beyond stdio
    // The child starts with no signal blocked and Ctrl+C and Ctrl+Break at their defaults, not
    // with the controller's console handling.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    // A middle process starts the child and ends at once, so the child belongs to init
    // from the start: it leaves no zombie here and outlives the controller.
    const pid_t middle = fork();
    if (middle == 0) {
        pid_t child = -1;
        int rc = posix_spawn(&child, program.c_str(), &actions, &attr, argv.data(), environ);
        std::int64_t result = rc == 0 ? child : -rc;
        ssize_t ignored = write(report[1], &result, sizeof result);
        (void)ignored;
        _exit(0);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(report[1]);
    std::int64_t result = -EAGAIN;
    if (middle > 0) {
        if (read(report[0], &result, sizeof result) != sizeof result) result = -EIO;
        while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
        }
    } else {
        result = -errno;
    }
    close(report[0]);
    if (result <= 0) {
        errno = static_cast<int>(-result);
        return false;
    }
    *pid = static_cast<std::uint32_t>(result);
    if (!StatField(*pid, kStatStartTime, creationTime)) *creationTime = 0;
    return true;
}

bool PlatformProcessIdentity(std::uint32_t pid, char* name, std::size_t nameSize,
                             std::uint64_t* creationTime) {
    const std::string image = ImageName(pid);
    if (image.empty() || !StatField(pid, kStatStartTime, creationTime)) return false;
    std::snprintf(name, nameSize, "%s", image.c_str());
    return true;
}

bool PlatformProcessArguments(std::uint32_t pid, std::string* arguments) {
    Program program;
    std::vector<std::string> words;
    if (!ProgramOf(pid, &program, &words)) return false;
    arguments->clear();
    for (std::size_t i = program.firstArgument; i < words.size(); ++i) {
        if (!arguments->empty()) *arguments += ' ';
        *arguments += words[i];
    }
    return true;
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
        const std::string image = ImageName(static_cast<std::uint32_t>(pid));
        if (image.empty() || !StatField(static_cast<std::uint32_t>(pid), kStatParent, &parent))
            continue;
        out->push_back(
            {static_cast<std::uint32_t>(pid), static_cast<std::uint32_t>(parent), image});
    }
    closedir(proc);
    return true;
}

// The state letter of /proc/PID/stat (field 3), or 0 when the process does not exist.
static char ProcessState(std::uint32_t pid) {
    std::string rest;
    return StatAfterName(pid, &rest) && rest.size() > 1 && rest[0] == ' ' ? rest[1] : 0;
}

bool PlatformProcessExists(std::uint32_t pid) {
    const char state = ProcessState(pid);  // /proc/PID/stat may be read by everyone
    return pid != 0 && state != 0 && state != 'Z' && state != 'X';
}

bool PlatformTerminateProcess(std::uint32_t pid) {
    // A process that has already ended but is not yet reaped (a zombie) is not ended again.
    const char state = ProcessState(pid);
    if (pid == 0 || state == 0 || state == 'Z' || state == 'X') {
        errno = ESRCH;
        return false;
    }
    return kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}
