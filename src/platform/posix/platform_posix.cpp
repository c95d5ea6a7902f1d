// Linux backend of the platform interface: files, errors, time, and the service manager
// stand-ins (status kept, event log entries to syslog).
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/profile_reader.h"

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

bool PlatformSystemErrorText(std::uint32_t code, std::string* text) {
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

bool PlatformAppendBytes(PlatformAppendFile* file, const char* bytes, std::size_t count) {
    // O_APPEND moves to the end and writes in one step, so another appender can never slip
    // between the two; a short write only happens on a full disk or a signal.
    while (count > 0) {
        ssize_t n = write(file->fd, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
        if (file->position >= 0) file->position += n;
    }
    return true;
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

bool PlatformSetServiceStatus(void*, const ServiceStatusRecord&) {
    // Without a service manager the record is only kept by the caller; nothing to hand over.
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
