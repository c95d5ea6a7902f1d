// The log-output port: a file shared with other processes that each append whole entries to,
// and the lock under which one of them rotates it. Every call may be made from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PlatformEvent;
struct PlatformAppendFile;
// Opens (creating if missing) for appending, shared so that other processes may read it,
// append to it and keep it open meanwhile. Every write lands at the current end of the
// file, even when another process appended in between. Null, with the last error set, when
// it cannot be opened. A link at `path` (Linux: a symbolic link; Windows: a reparse point)
// is never followed, so that no other account can point the writes at a file of its
// choosing: null then, with `link` (when not null) set.
PlatformAppendFile* PlatformOpenAppend(const char* path, bool* link = nullptr);
// The stream's position: the file's size when it was opened, advanced by every append made
// through it (like a C stream's position, it needs no system call). -1 when unknown.
std::int64_t PlatformAppendPosition(PlatformAppendFile* file);
// Appends all bytes in one write, so that concurrent appenders never interleave within it.
// False when not all could be written (a full disk): a part that did get written is taken
// back when nothing was appended after it; `torn` (when not null) is set when a part stays
// in the file all the same, so that the caller can begin its next entry on a line of its own.
bool PlatformAppendBytes(PlatformAppendFile* file, const char* bytes, std::size_t count,
                         bool* torn = nullptr);
void PlatformCloseAppend(PlatformAppendFile* file);
// A lock, across processes, on rotating the shared file at `path`: while one process holds
// it, no other that asks for it may rotate. It is an object that only the accounts that may
// write the file can take (Linux: a lock file beside it, created with the file's write
// permissions and nothing else, locked only when opened for writing; Windows: a named mutex
// whose access list grants it to the accounts that may write the file), so that a reader
// can never hold a rotation up. Waits at most `timeoutMs`, and no longer once `abandon` (when
// not null) is set. Null when it was not had: the caller then does not rotate.
// Where another account that may not write the file placed an object at the lock's name first
// (Linux, in a folder everyone may write to), it is left alone: a lock of this account's own
// beside it is taken instead, or, where that name is taken too, the lock is granted without
// exclusion, so that rotation still happens; `foreign` (when not null) then says what was
// found ("" when nothing was).
struct PlatformRotationLock;
PlatformRotationLock* PlatformLockRotation(const char* path, std::uint32_t timeoutMs,
                                           PlatformEvent* abandon, std::string* foreign = nullptr);
void PlatformUnlockRotation(PlatformRotationLock* lock);
