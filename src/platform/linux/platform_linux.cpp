// Linux backend of the platform interface: files, errors, time, processes, and event log
// entries (to syslog). The service manager (systemd) has a file of its own.
#include "platform/console.h"
#include "platform/event_log.h"
#include "platform/file_io.h"
#include "platform/files.h"
#include "platform/log_output.h"
#include "platform/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/linux_io.h"
#include "platform/linux/loaded_libraries.h"
#include "platform/profile_reader.h"

extern char** environ;

void PlatformPrepareProcess() {
    signal(SIGPIPE, SIG_IGN);
    StartReaperWhenFirstProcess();
}

void PlatformBinaryStandardOutput() {}

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

std::string LinuxPath(const char* path) {
    std::string p = path;
    for (char& c : p) {
        if (c == '\\') c = '/';
    }
    return p;
}

namespace {}  // namespace

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

struct PlatformFile {
    int fd;
};

FileOpen PlatformOpenExisting(const char* path, PlatformFile** file, bool throughLink) {
    // Opened without waiting and taken only when it is a regular file: a FIFO or a device
    // named where a file is expected would hold the reader for good.
    *file = nullptr;
    const std::string name = LinuxPath(path);
    // Each call with its flags written out: with flags known only at run time, the fortified
    // open becomes a call that fault injection (libfiu) does not reach.
    const int fd =
        throughLink ? open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                    : open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        const int saved = errno;
        struct stat st;
        if (!throughLink && lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            errno = saved;
            return FileOpen::kLink;
        }
        errno = saved;
        return saved == ENOENT || saved == ENOTDIR ? FileOpen::kMissing : FileOpen::kFailed;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return FileOpen::kFailed;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return FileOpen::kNotRegular;
    }
    *file = new PlatformFile{fd};
    return FileOpen::kOpened;
}

bool PlatformFileSize(PlatformFile* file, std::uint64_t* size) {
    struct stat st;
    if (fstat(file->fd, &st) != 0) return false;
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool PlatformReadSome(PlatformFile* file, char* buffer, std::size_t size, std::size_t* got) {
    for (;;) {
        const ssize_t n = read(file->fd, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        *got = n > 0 ? static_cast<std::size_t>(n) : 0;
        return n >= 0;
    }
}

PlatformFile* PlatformCreateNew(const char* path, bool* exists) {
    // O_EXCL with O_NOFOLLOW never follows or opens whatever already has the name (a link
    // someone placed, a FIFO).
    *exists = false;
    const int fd = open(LinuxPath(path).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        *exists = errno == EEXIST;
        return nullptr;
    }
    if (fchmod(fd, 0644) != 0) {  // readable by everyone, whatever the umask
        const int saved = errno;
        close(fd);
        unlink(LinuxPath(path).c_str());
        errno = saved;
        return nullptr;
    }
    return new PlatformFile{fd};
}

bool PlatformWriteAll(PlatformFile* file, const char* bytes, std::size_t size) {
    return WriteAll(file->fd, bytes, size);
}

bool PlatformCloseFile(PlatformFile* file) {
    const bool ok = close(file->fd) == 0;
    delete file;
    return ok;
}

bool PlatformMoveOver(const char* from, const char* to) {
    return rename(LinuxPath(from).c_str(), LinuxPath(to).c_str()) == 0;
}

std::FILE* PlatformOpenFileForReading(const char* path) {
    PlatformFile* opened = nullptr;
    if (PlatformOpenExisting(path, &opened) != FileOpen::kOpened) return nullptr;
    std::FILE* file = fdopen(opened->fd, "rb");
    if (!file) close(opened->fd);
    delete opened;
    return file;
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

std::string PlatformOwnerOfOpenFile(PlatformFile* file) {
    struct stat st;
    if (fstat(file->fd, &st) != 0) return "";
    return std::to_string(st.st_uid);
}

std::string PlatformFileOwner(const char* path) {
    struct stat st;
    if (lstat(LinuxPath(path).c_str(), &st) != 0) return "";
    return std::to_string(st.st_uid);
}

bool PlatformIsAdministrator(const std::string& account) {
    return account == "0";
}

std::string PlatformAccountId(const std::string& name) {
    if (name.empty()) return "";
    if (name.find_first_not_of("0123456789") == std::string::npos) return name;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    return found ? std::to_string(found->pw_uid) : "";
}

bool PlatformDeleteFile(const char* path) {
    return unlink(LinuxPath(path).c_str()) == 0;
}

bool PlatformFolderIsPrivate(const char* path, const std::string& ownerId, std::string* why,
                             bool* missing) {
    struct stat st;
    if (missing) *missing = false;
    if (lstat(LinuxPath(path).c_str(), &st) != 0) {
        if (missing) *missing = errno == ENOENT;
        *why = errno == ENOENT ? "it does not exist"
                               : std::string("it cannot be examined: ") + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        *why = "it is a link, which is never followed";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = "it is not a folder";
        return false;
    }
    const std::string owner = std::to_string(st.st_uid);
    if (owner != ownerId && st.st_uid != 0) {
        *why = "it belongs to account " + owner;
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *why = std::string("other accounts may write to it (mode ") + mode + ")";
        return false;
    }
    return true;
}

bool PlatformPrivateFolder(const char* path, std::string* why) {
    if (mkdir(LinuxPath(path).c_str(), 0700) != 0 && errno != EEXIST) {
        *why = std::string("it cannot be made: ") + std::strerror(errno);
        return false;
    }
    return PlatformFolderIsPrivate(path, std::to_string(geteuid()), why);
}

bool PlatformListFolder(const char* path, std::vector<FolderFile>* files) {
    const std::string folder = LinuxPath(path);
    DIR* dir = opendir(folder.c_str());
    if (!dir) return false;
    while (dirent* e = readdir(dir)) {
        struct stat st;
        const std::string file = folder + "/" + e->d_name;
        if (lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            files->push_back({e->d_name, static_cast<std::uint64_t>(st.st_size),
                              static_cast<std::int64_t>(st.st_mtime)});
        }
    }
    closedir(dir);
    return true;
}

namespace {

std::string ModeText(const struct stat& st) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string(text) + " (owner " + std::to_string(st.st_uid) + ", group " +
           std::to_string(st.st_gid) + ")";
}

// An account of the password database by name or number ("" is root): its id, name and
// primary group; false with the reason in `why` when there is none.
struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
};
bool LookUpAccount(const std::string& account, Account* out, std::string* why) {
    const std::string name = account.empty() ? "root" : account;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (!found && name.find_first_not_of("0123456789") == std::string::npos) {
        getpwuid_r(static_cast<uid_t>(std::strtoul(name.c_str(), nullptr, 10)), &entry,
                   buffer.data(), buffer.size(), &found);
    }
    if (!found) {
        *why = "there is no account " + name;
        return false;
    }
    *out = {found->pw_uid, found->pw_gid, found->pw_name};
    return true;
}

// The permission bits (in the others' place) that a file's mode grants `a`: the owner's, else
// those of a group it is in, else the others'.
mode_t BitsFor(const struct stat& st, const Account& a) {
    if (st.st_uid == a.uid) return (st.st_mode & S_IRWXU) >> 6;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(a.name.c_str(), a.gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        getgrouplist(a.name.c_str(), a.gid, groups.data(), &count);
    }
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    for (const gid_t g : groups)
        if (g == st.st_gid) return (st.st_mode & S_IRWXG) >> 3;
    return st.st_mode & S_IRWXO;
}

AccountAccess CannotExamine(std::string* why) {
    *why = errno == ENOENT ? "it does not exist"
                           : std::string("it cannot be examined: ") + std::strerror(errno);
    return AccountAccess::kRefused;
}

}  // namespace

AccountAccess PlatformAccountMayWriteFolder(const char* path, const std::string& account,
                                            std::string* why) {
    const std::string folder = LinuxPath(path);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) return CannotExamine(why);
    if (!S_ISDIR(st.st_mode)) {
        *why = "it is not a folder";
        return AccountAccess::kRefused;
    }
    struct statvfs fs;
    if (statvfs(folder.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0) {
        *why = "its file system is mounted read-only";
        return AccountAccess::kRefused;
    }
    Account a;
    if (!LookUpAccount(account, &a, why)) return AccountAccess::kRefused;
    if (a.uid == 0)
        return AccountAccess::kAllowed;  // root may write every folder on a writable mount
    if ((BitsFor(st, a) & (S_IWOTH | S_IXOTH)) != (S_IWOTH | S_IXOTH)) {
        *why = "its mode " + ModeText(st) + " does not let " + a.name + " write to it";
        return AccountAccess::kRefused;
    }
    return AccountAccess::kAllowed;
}

AccountAccess PlatformAccountMayReadFile(const char* path, const std::string& account,
                                         std::string* why, bool* missing) {
    std::string file = LinuxPath(path);
    struct stat st;
    const bool found = stat(file.c_str(), &st) == 0;
    *missing = !found && errno == ENOENT;
    if (!found) return CannotExamine(why);
    Account a;
    if (!LookUpAccount(account, &a, why)) return AccountAccess::kRefused;
    if (a.uid == 0) return AccountAccess::kAllowed;
    if ((BitsFor(st, a) & S_IROTH) == 0) {
        *why = "its mode " + ModeText(st) + " does not let " + a.name + " read it";
        return AccountAccess::kRefused;
    }
    // Every folder above it must let the account through.
    if (file.find('/') == std::string::npos) file = "./" + file;
    for (std::size_t slash = file.rfind('/'); slash != std::string::npos && slash > 0;
         slash = file.rfind('/', slash - 1)) {
        const std::string folder = file.substr(0, slash);
        if (stat(folder.c_str(), &st) != 0) return CannotExamine(why);
        if ((BitsFor(st, a) & S_IXOTH) == 0) {
            *why = "its folder " + folder + " (mode " + ModeText(st) + ") does not let " + a.name +
                   " through";
            return AccountAccess::kRefused;
        }
    }
    return AccountAccess::kAllowed;
}

bool PlatformRotateAppendedFile(const char* path, const char* rotatedPath, std::uint64_t limitBytes,
                                bool* rotated, std::string* why) {
    *rotated = false;
    const int fd = open(LinuxPath(path).c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;  // nothing written yet
        *why = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) <= limitBytes)) {
        close(fd);
        return true;
    }
    // The copy takes what is there and, read again just before the file is emptied, what the
    // writer added meanwhile: only what it writes between that read and the truncation is lost.
    // It is a new file: whatever had its name goes first (a link itself, never its target), and
    // one another account makes in that moment makes the rotation fail, never receive a byte.
    unlink(LinuxPath(rotatedPath).c_str());
    const int copy = ok ? open(LinuxPath(rotatedPath).c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640)
                        : -1;
    ok = copy >= 0;
    char buffer[65536];
    off_t at = 0;
    for (int pass = 0; ok && pass < 2; ++pass) {
        for (;;) {
            const ssize_t n = pread(fd, buffer, sizeof buffer, at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            if (!(ok = WriteAll(copy, buffer, static_cast<std::size_t>(n)))) break;
            at += n;
        }
        if (ok && pass == 1) ok = ftruncate(fd, 0) == 0;
    }
    if (!ok) *why = std::string(rotatedPath) + ": " + std::strerror(errno);
    if (copy >= 0 && close(copy) != 0 && ok) {
        ok = false;
        *why = std::string(rotatedPath) + ": " + std::strerror(errno);
    }
    close(fd);
    *rotated = ok;
    return ok;
}

std::vector<std::string> PlatformProfileKeys(const char* section, const char* iniPath) {
    return ProfileKeyNames(section, LinuxPath(iniPath).c_str());
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

PlatformAppendFile* PlatformOpenAppend(const char* path, bool* link) {
    // Never waits: a FIFO named as the log must not hold the controller (without a reader it
    // is refused; with one, an entry that does not fit is dropped). Made readable by its
    // owner and group only: it names the database system and command lines.
    const std::string file = LinuxPath(path);
    int fd =
        open(file.c_str(),
             O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0640);
    if (link) *link = false;
    if (fd < 0) {
        const int saved = errno;
        struct stat st;
        // ELOOP, or EACCES where a sticky folder's rules refuse the name first.
        if (link && lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) *link = true;
        errno = saved;
        return nullptr;
    }
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

namespace {

constexpr int kLockPollMs = 10;  // how often a held rotation lock is tried again

// The lock file beside the file at `file`, opened for writing: created with that file's write
// permissions (and the owner's read and write) and its group, so that exactly the accounts
// that may write the file may open it, and one that may only read the file cannot even
// open it. Never a link, a FIFO or a device. -1 when it cannot be had.
constexpr int kNoLockFile = -2;  // every lock file's name is taken by another account

// What stands at a lock file's name and was made by another account that may not write the
// file (in a folder everyone may write to): anything but a regular file, or a file whose owner
// is neither this account, nor the file's owner, nor root. Empty when nothing foreign is there.
std::string ForeignObject(const std::string& lock, const struct stat& target) {
    struct stat st;
    if (lstat(lock.c_str(), &st) != 0) return "";
    const char* kind = S_ISLNK(st.st_mode)    ? "a symbolic link"
                       : S_ISDIR(st.st_mode)  ? "a folder"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : !S_ISREG(st.st_mode) ? "no regular file"
                                              : nullptr;
    const bool ownersFile = st.st_uid == geteuid() || st.st_uid == target.st_uid || st.st_uid == 0;
    if (!kind && ownersFile) return "";
    return lock + " (" + (kind ? kind : "a file of user " + std::to_string(st.st_uid)) + ")";
}

// The rotation lock's file: `file` + ".lock", or, where another account placed something at
// that name first, a name of this account's own beside it (`foreign` then says what was
// found); kNoLockFile when that name is taken too.
int OpenLockFile(const std::string& file, std::string* foreign) {
    struct stat target;
    if (stat(file.c_str(), &target) != 0) return -1;
    const mode_t mode = (target.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) | S_IRUSR | S_IWUSR;
    std::string lock = file + ".lock";
    *foreign = ForeignObject(lock, target);
    if (!foreign->empty()) {
        lock = file + ".lock." + std::to_string(geteuid());
        if (!ForeignObject(lock, target).empty()) return kNoLockFile;
    }
    const int fd = open(lock.c_str(),
                        O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    if (st.st_uid == geteuid()) {
        // The creation mode lost the group and other write bits to the umask; an older lock
        // file may have had more. Failures leave the lock stricter, never looser.
        if (st.st_gid != target.st_gid && fchown(fd, static_cast<uid_t>(-1), target.st_gid) != 0) {
        }
        if ((st.st_mode & 07777) != mode && fchmod(fd, mode) != 0) {
        }
    }
    return fd;
}

}  // namespace

PlatformRotationLock* PlatformLockRotation(const char* path, std::uint32_t timeoutMs,
                                           PlatformEvent* abandon, std::string* foreign) {
    std::string found;
    const int fd = OpenLockFile(LinuxPath(path), &found);
    if (foreign) *foreign = found;
    if (fd == kNoLockFile) return new PlatformRotationLock{-1};  // rotated without exclusion
    if (fd < 0) return nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return new PlatformRotationLock{fd};
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd stop = {abandon ? abandon->fd : -1, POLLIN, 0};
        if (poll(&stop, 1, static_cast<int>(left < kLockPollMs ? left : kLockPollMs)) > 0) break;
    }
    close(fd);
    return nullptr;
}

void PlatformUnlockRotation(PlatformRotationLock* lock) {
    if (!lock) return;
    if (lock->fd >= 0) close(lock->fd);  // releases the flock
    delete lock;
}

void PlatformCloseAppend(PlatformAppendFile* file) {
    if (!file) return;
    close(file->fd);
    delete file;
}

namespace {

constexpr std::size_t kReserveDescriptors = 8;  // enough for a restart's scan, KILL, a start
std::vector<int> gReserve;                      // only the run loop's thread touches it

}  // namespace

void PlatformHoldReserve() {
    while (gReserve.size() < kReserveDescriptors) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        gReserve.push_back(fd);
    }
}

void PlatformReleaseReserve() {
    for (const int fd : gReserve)
        close(fd);
    gReserve.clear();
}

bool PlatformOutOfDescriptors(std::uint32_t error) {
    return error == EMFILE || error == ENFILE;
}

bool PlatformRandomBytes(void* out, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(out);
    while (size > 0) {
        const ssize_t n = getrandom(bytes, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
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

bool PlatformReportWarningEvent(const char* source, const WarningEntry& entry) {
    // The journal's own API, so that every field is one of its own: journalctl finds the
    // entries by MESSAGE_ID and shows the fields with -o json.
    std::vector<std::string> lines = {
        "MESSAGE=" + entry.text,
        std::string("MESSAGE_ID=") + entry.journalId,
        "PRIORITY=" + std::to_string(LOG_WARNING),
        std::string("SYSLOG_IDENTIFIER=") + source,
    };
    for (const auto& field : entry.fields)
        lines.push_back(field.first + "=" + field.second);
    std::vector<iovec> parts;
    for (std::string& line : lines)
        parts.push_back({line.data(), line.size()});
    const JournalLibrary* journal = LoadJournalLibrary(nullptr);
    if (!journal) {
        ExplainNextError(ENOSYS, "the journal's library, libsystemd.so.0, cannot be loaded");
        errno = ENOSYS;
        return false;
    }
    const int rc = journal->sendv(parts.data(), static_cast<int>(parts.size()));
    if (rc < 0) errno = -rc;
    return rc >= 0;
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
