// The file calls each backend gives and the shared file rules (files.h) are built on: open an
// existing file without waiting, read it, create a new one under a name nobody holds, write
// it, move it over another. Paths may use '\' as a separator on both systems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PlatformFile;

// How opening an existing file went.
enum class FileOpen { kOpened, kMissing, kFailed, kNotRegular, kLink };
// Opens the existing file at `path` for reading, shared with every other opener (Windows: the
// move of another file over it included); never waits, and refuses what is not a regular
// file (kNotRegular). kMissing when there is no such file or folder; the last error is set.
// Without `throughLink`, a link at the name itself (Linux: a symbolic link; Windows: a
// reparse point) is never followed: kLink.
FileOpen PlatformOpenExisting(const char* path, PlatformFile** file, bool throughLink = true);
// The account that owns the open file, in PlatformFileOwner's terms; "" when it cannot be
// told. Asked of the file opened, so that no file put in its place since counts.
std::string PlatformOwnerOfOpenFile(PlatformFile* file);
bool PlatformFileSize(PlatformFile* file, std::uint64_t* size);
// Reads at most `size` bytes; `got` is 0 at the end of the file.
bool PlatformReadSome(PlatformFile* file, char* buffer, std::size_t size, std::size_t* got);
// Creates a new file for writing, readable by everyone, where no name stands yet: an existing
// name, be it a link, a FIFO or a file, is never followed or opened (`exists` is then set).
// Null, with the last error set, on failure.
PlatformFile* PlatformCreateNew(const char* path, bool* exists);
// Writes all `size` bytes; false (last error set) when they did not all go out.
bool PlatformWriteAll(PlatformFile* file, const char* bytes, std::size_t size);
// Closes the file; false when the close reported a failure (what was written may be lost).
bool PlatformCloseFile(PlatformFile* file);
// Moves the file `from` over `to` in one step, replacing it. On Windows a file that a reader
// holds open cannot be replaced: it is moved aside for the new one, tried again for a moment
// (at most kMoveOverRetryMs) while the reader's handle blocks even that.
bool PlatformMoveOver(const char* from, const char* to);
constexpr std::uint32_t kMoveOverRetryMs = 100;
