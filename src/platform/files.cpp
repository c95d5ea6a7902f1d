// The file rules both systems share (see files.h), on the calls each backend gives
// (file_io.h): how a small file is read whole and how a file is replaced in one step.
#include "platform/files.h"

#include "platform/file_io.h"
#include "platform/system.h"

namespace {

// Reads the file at `path` (through a link at its name when `throughLink`), believed only
// when `believe` (when set) takes its owner.
SmallFileRead ReadSmall(const char* path, std::size_t limit, std::string* bytes, bool throughLink,
                        const OwnerRule& believe, std::string* owner) {
    bytes->clear();
    if (owner) owner->clear();
    PlatformFile* file = nullptr;
    switch (PlatformOpenExisting(path, &file, throughLink)) {
        case FileOpen::kOpened:
            break;
        case FileOpen::kMissing:
            return SmallFileRead::kMissing;
        case FileOpen::kNotRegular:
            return SmallFileRead::kNotRegular;
        case FileOpen::kLink:
            return SmallFileRead::kLink;
        case FileOpen::kFailed:
            return SmallFileRead::kFailed;
    }
    std::uint64_t size = 0;
    SmallFileRead result = SmallFileRead::kRead;
    if (believe) {
        const std::string account = PlatformOwnerOfOpenFile(file);
        if (owner) *owner = account;
        if (!believe(account)) {
            PlatformCloseFile(file);
            return SmallFileRead::kRefused;
        }
    }
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

}  // namespace

SmallFileRead PlatformReadSmallFile(const char* path, std::size_t limit, std::string* bytes) {
    return ReadSmall(path, limit, bytes, true, nullptr, nullptr);
}

SmallFileRead PlatformReadOwnedFile(const char* path, std::size_t limit, std::string* bytes,
                                    const OwnerRule& believe, std::string* owner) {
    return ReadSmall(path, limit, bytes, false, believe, owner);
}

bool PlatformReplaceFileWith(const char* path, const std::string& bytes) {
    // Each try names a new file by random bytes, so that no other account can foresee the
    // name and make it first; a name that exists all the same is passed over.
    std::string temporary;
    PlatformFile* file = nullptr;
    for (int i = 0; i < kReplaceNameTries && !file; ++i) {
        unsigned char random[kTemporaryNameBytes];
        if (!PlatformRandomBytes(random, sizeof random)) return false;
        temporary = std::string(path) + ".";
        for (const unsigned char b : random) {
            temporary += "0123456789abcdef"[b >> 4];
            temporary += "0123456789abcdef"[b & 15];
        }
        temporary += ".tmp";
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
