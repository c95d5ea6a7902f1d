// The file rules both systems share (see files.h), on the calls each backend gives
// (file_io.h): how a small file is read whole and how a file is replaced in one step.
#include "platform/files.h"

#include <atomic>

#include "platform/file_io.h"
#include "platform/processes.h"
#include "platform/system.h"

SmallFileRead PlatformReadSmallFile(const char* path, std::size_t limit, std::string* bytes) {
    bytes->clear();
    PlatformFile* file = nullptr;
    switch (PlatformOpenExisting(path, &file)) {
        case FileOpen::kOpened:
            break;
        case FileOpen::kMissing:
            return SmallFileRead::kMissing;
        case FileOpen::kNotRegular:
            return SmallFileRead::kNotRegular;
        case FileOpen::kFailed:
            return SmallFileRead::kFailed;
    }
    std::uint64_t size = 0;
    SmallFileRead result = SmallFileRead::kRead;
    if (!PlatformFileSize(file, &size)) {
        result = SmallFileRead::kFailed;
    } else if (size > limit) {
        result = SmallFileRead::kTooLarge;
    } else {
        // One more byte than allowed is asked for, so that a file that grew meanwhile is seen.
        std::string buffer(limit + 1, '\0');
        std::size_t got = 0, n = 1;
        while (n > 0 && got < buffer.size()) {
            if (!PlatformReadSome(file, &buffer[got], buffer.size() - got, &n)) {
                result = SmallFileRead::kFailed;
                break;
            }
            got += n;
        }
        if (got > limit) result = SmallFileRead::kTooLarge;
        if (result == SmallFileRead::kRead) bytes->assign(buffer, 0, got);
    }
    const std::uint32_t error = PlatformLastError();
    PlatformCloseFile(file);
    PlatformSetLastError(error);
    return result;
}

bool PlatformReplaceFileWith(const char* path, const std::string& bytes) {
    // Each try names a new file; a name another process placed beforehand is passed over.
    static std::atomic<std::uint32_t> count{0};
    const std::string prefix = std::string(path) + "." + std::to_string(PlatformCurrentProcessId());
    std::string temporary;
    PlatformFile* file = nullptr;
    for (int i = 0; i < kReplaceNameTries && !file; ++i) {
        temporary = prefix + "." + std::to_string(++count) + ".tmp";
        bool exists = false;
        file = PlatformCreateNew(temporary.c_str(), &exists);
        if (!file && !exists) return false;
    }
    if (!file) return false;
    const bool written = PlatformWriteAll(file, bytes.data(), bytes.size());
    std::uint32_t error = PlatformLastError();
    const bool closed = PlatformCloseFile(file);
    if (written && !closed) error = PlatformLastError();
    if (written && closed && PlatformMoveOver(temporary.c_str(), path)) return true;
    if (written && closed) error = PlatformLastError();
    PlatformDeleteFile(temporary.c_str());
    PlatformSetLastError(error);
    return false;
}
