// The files port: the controller's own files (the INI, the settings file, the state and
// metrics files) and its folder. Reading never waits and takes only regular files; replacing
// is one step a reader can never see half done. Every call may be made from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// The INI and settings files are a few lines. One larger than this (or one that never ends,
// such as /dev/zero) is taken as unreadable instead of being read without end.
constexpr std::size_t kMaxConfigFileBytes = 4u << 20;

// Opens a regular file for reading in binary mode; on Linux a '\' in the path is taken as a
// separator like '/'. Never waits, and refuses what is not a regular file (a FIFO, a device,
// a pipe's name on Windows), so that a reader can never be held. Null on failure.
std::FILE* PlatformOpenFileForReading(const char* path);
// How reading a small file went.
enum class SmallFileRead { kRead, kMissing, kFailed, kNotRegular, kTooLarge, kLink, kRefused };
// Reads the regular file at `path` whole when it holds at most `limit` bytes; never waits.
// kMissing (no such file or folder) or kFailed with the last error set when it cannot be
// opened or read. Shared with every other opener, so that its writer may replace it while it
// is read. (Shared code, on the calls of file_io.h.)
SmallFileRead PlatformReadSmallFile(const char* path, std::size_t limit, std::string* bytes);
// The same for a file in a folder other accounts may write to, which is believed only from
// some accounts: never opened through a link at its name (kLink), and read only when
// `believe` takes the account that owns the file opened (kRefused otherwise, before a byte
// of it is read). `owner` (when not null) receives that account.
using OwnerRule = std::function<bool(const std::string& owner)>;
SmallFileRead PlatformReadOwnedFile(const char* path, std::size_t limit, std::string* bytes,
                                    const OwnerRule& believe, std::string* owner = nullptr);
// Replaces the file at `path` with `bytes` in one step, so that a reader sees the old file or
// the new one, never a part of either: written whole to a new file beside it, named
// "<path>.<16 random hex digits>.tmp", which no other account can foresee and make first, and
// created so that no existing name (a link, a FIFO, another file) is ever followed or opened
// (such a name is passed over for another), readable by everyone, then moved over `path`. False,
// with the last error set, when it could not; the new file is then gone. (Shared code, on the calls
// of file_io.h.)
bool PlatformReplaceFileWith(const char* path, const std::string& bytes);
// A file another process appends to (the job starter's output), kept below `limitBytes`: once
// it has grown past, its content is copied to `rotatedPath` (replacing what was there) and the
// file is emptied where it lies, so that the writer's own descriptor goes on at its start.
// `rotated` is set when that was done; false, with the reason, when it could not be.
bool PlatformRotateAppendedFile(const char* path, const char* rotatedPath, std::uint64_t limitBytes,
                                bool* rotated, std::string* why);
// How many names a replacement tries before it gives up: a name that exists is passed over,
// a folder that refuses every new file fails at the first.
constexpr int kReplaceNameTries = 16;
constexpr std::size_t kTemporaryNameBytes = 8;  // random bytes in a temporary file's name

// Full path of the running executable (first module of the process). False on failure.
bool PlatformExecutablePath(char* out, std::size_t size);
bool PlatformSetCurrentDirectory(const char* dir);
// True when `c` is the lead byte of a double-byte character in the system code page
// (never on Linux, whose multi-byte encoding has no separator bytes inside characters).
bool PlatformIsLeadByte(unsigned char c);
// The profile reader: GetPrivateProfileStringA on Windows, the project's own reader with
// its rules on Linux. Returns the number of characters copied, without the terminator.
std::uint32_t PlatformReadProfileString(const char* section, const char* key, const char* def,
                                        char* out, std::uint32_t size, const char* iniPath);
// The names of the keys in `section` of the INI file at `iniPath` (Windows: the profile
// API's key list; Linux: the project's reader). Empty when the file or section is missing.
std::vector<std::string> PlatformProfileKeys(const char* section, const char* iniPath);
// The account that owns the file at `path` (Linux: its owner's user id; Windows: its owner's
// SID), "" when it cannot be told; and whether an account is the system's administrator
// (root; Windows: SYSTEM or the Administrators group, which own what administrators make).
std::string PlatformFileOwner(const char* path);
bool PlatformIsAdministrator(const std::string& account);
// The account named `name` (as the service manager names a service's account) in the form
// PlatformFileOwner gives (Linux: its user id; Windows: its SID); "" when there is none.
std::string PlatformAccountId(const std::string& name);
// Whether the account named `account` (as the service manager names a service's account; ""
// is the system's own: root, LocalSystem) may create files in the folder `path`: it exists,
// is a folder, and (Linux) lies on a file system mounted for writing and grants that account
// write and search by its mode bits (root: always); (Windows) its access list lets that account
// create files, as the system's authorization checks it (the system's account: always).
// kRefused, with the reason in plain words in `why`, when not; kNotJudged, with the reason,
// where the system cannot judge another account's rights. Asks only, with the caller's
// rights: nothing is created.
enum class AccountAccess { kAllowed, kRefused, kNotJudged };
AccountAccess PlatformAccountMayWriteFolder(const char* path, const std::string& account,
                                            std::string* why);
// The same for reading the file `path` (the INI, the settings file): (Linux) its mode bits
// grant that account read and those of every folder above it search (root: always); (Windows)
// its access list lets that account read its data (the system's account: always). `missing`
// is set when there is no file at `path` (kRefused then).
AccountAccess PlatformAccountMayReadFile(const char* path, const std::string& account,
                                         std::string* why, bool* missing);
// A folder for files that only the caller's account and administrators may read (hang
// reports hold a process's memory): made when it is missing (Linux: mode 0700; Windows: an
// access list of SYSTEM, Administrators and the creator alone), its parent left as it is.
// One that exists is taken only when no other account may write to it (Linux: owned by the
// caller or root, not a link, not writable by group or others; Windows: no entry of its
// access list lets another account write). False, with the reason in plain words, when not.
bool PlatformPrivateFolder(const char* path, std::string* why);
// Whether the existing folder `path` is one PlatformPrivateFolder takes for the account
// `ownerId` (in PlatformFileOwner's form; "" for administrators alone): a folder, not a link,
// owned by that account or an administrator (Linux), and no other account may write to it.
// False, with the reason in plain words, when not (and `missing`, when given, set when there
// is nothing at `path`). Asks only: nothing is made.
bool PlatformFolderIsPrivate(const char* path, const std::string& ownerId, std::string* why,
                             bool* missing = nullptr);
// A folder's regular files: name, size and last change (seconds since 1970). False when it
// cannot be read.
struct FolderFile {
    std::string name;
    std::uint64_t bytes;
    std::int64_t changed;
};
bool PlatformListFolder(const char* path, std::vector<FolderFile>* files);
// Deletes a file (never a directory). False when it could not be deleted.
bool PlatformDeleteFile(const char* path);
// Renames a file; never replaces an existing target. False when it could not be moved.
bool PlatformRenameNoReplace(const char* from, const char* to);
