// Win32 backend of the system, files, log-output and event-log ports: the Win32 calls the
// controller is built on (psapi for its own path, the profile API, the event-log API,
// FormatMessageA). The service manager, the pipe and the processes have files of their own.
#include "platform/console.h"
#include "platform/event_log.h"
#include "platform/file_io.h"
#include "platform/files.h"
#include "platform/log_output.h"
#include "platform/processes.h"
#include "platform/system.h"

#include <windows.h>
#include <aclapi.h>
#include <authz.h>
#include <fcntl.h>
#include <io.h>
#include <ntsecapi.h>
#include <psapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/win32_internal.h"

std::uint32_t PlatformLastError() {
    return GetLastError();
}

void PlatformSetLastError(std::uint32_t code) {
    SetLastError(code);
}

std::string Win32ErrorText(DWORD code) {
    std::string text;
    PlatformSystemErrorText(code, &text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    char number[16];
    std::snprintf(number, sizeof number, " (0x%lx)", static_cast<unsigned long>(code));
    return text + number;
}

bool PlatformSystemErrorText(std::uint32_t code, std::string* text) {
    const DWORD saved = GetLastError();  // callers read the last error again afterwards
    LPSTR buffer = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                             code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    const bool ok = n > 0 && buffer != nullptr;
    if (ok) text->assign(buffer, n);
    if (buffer) LocalFree(buffer);
    SetLastError(saved);
    return ok;
}

namespace {

// A name in the device namespace ("\\.\pipe\...", "\\.\COM1"): opening it is no file read
// (a pipe's name would even make the reader a client of that pipe).
bool IsDeviceName(const char* path) {
    return (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/') &&
           (path[2] == '.' || path[2] == '?') && (path[3] == '\\' || path[3] == '/');
}

// Opens an existing disk file for reading, shared with every other opener, its writer's move
// over it included. INVALID_HANDLE_VALUE when it cannot; `notRegular` is then set when the
// name was no disk file.
HANDLE OpenForReading(const char* path, bool* notRegular, bool throughLink) {
    *notRegular = false;
    if (IsDeviceName(path)) {
        *notRegular = true;
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = CreateFileA(
        path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | (throughLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
        nullptr);
    if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        *notRegular = true;
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

// True when the open handle is a reparse point itself (opened with
// FILE_FLAG_OPEN_REPARSE_POINT): a symbolic link or a junction that another account may
// have placed to point elsewhere.
bool IsReparsePoint(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(h, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

struct PlatformFile {
    HANDLE handle;
};

FileOpen PlatformOpenExisting(const char* path, PlatformFile** file, bool throughLink) {
    *file = nullptr;
    bool notRegular = false;
    HANDLE h = OpenForReading(path, &notRegular, throughLink);
    if (h == INVALID_HANDLE_VALUE) {
        if (notRegular) return FileOpen::kNotRegular;
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileOpen::kMissing
                                                                              : FileOpen::kFailed;
    }
    if (!throughLink && IsReparsePoint(h)) {
        CloseHandle(h);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return FileOpen::kLink;
    }
    *file = new PlatformFile{h};
    return FileOpen::kOpened;
}

namespace {

// The owner's SID as text from a security descriptor that the call asked for (freed here);
// "" when the call failed or named no owner.
std::string OwnerText(DWORD result, PSID owner, PSECURITY_DESCRIPTOR descriptor) {
    if (result != ERROR_SUCCESS) return "";
    std::string account;
    LPSTR text = nullptr;
    if (owner && ConvertSidToStringSidA(owner, &text)) {
        account = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return account;
}

}  // namespace

std::string PlatformOwnerOfOpenFile(PlatformFile* file) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetSecurityInfo(file->handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                         &owner, nullptr, nullptr, nullptr, &descriptor);
    return OwnerText(result, owner, descriptor);
}

bool PlatformFileSize(PlatformFile* file, std::uint64_t* size) {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(file->handle, &s)) return false;
    *size = static_cast<std::uint64_t>(s.QuadPart);
    return true;
}

bool PlatformReadSome(PlatformFile* file, char* buffer, std::size_t size, std::size_t* got) {
    DWORD n = 0;
    const bool ok = ReadFile(file->handle, buffer, static_cast<DWORD>(size), &n, nullptr) != 0;
    *got = ok ? n : 0;
    return ok;
}

PlatformFile* PlatformCreateNew(const char* path, bool* exists) {
    // CREATE_NEW never opens whatever already has that name.
    HANDLE h =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    *exists =
        h == INVALID_HANDLE_VALUE && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
    return h == INVALID_HANDLE_VALUE ? nullptr : new PlatformFile{h};
}

bool PlatformWriteAll(PlatformFile* file, const char* bytes, std::size_t size) {
    DWORD written = 0;
    return WriteFile(file->handle, bytes, static_cast<DWORD>(size), &written, nullptr) &&
           written == size;
}

bool PlatformCloseFile(PlatformFile* file) {
    const bool ok = CloseHandle(file->handle) != 0;
    delete file;
    return ok;
}

bool PlatformMoveOver(const char* from, const char* to) {
    constexpr DWORD kRetryMs = 10;  // a reader without delete sharing holds `to` for a moment
    DWORD error = 0;
    for (DWORD waited = 0; waited <= kMoveOverRetryMs; waited += kRetryMs) {
        if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
        // A file that is open cannot be replaced, even where its readers share delete
        // access; but it can be moved aside, and the new one moved to its name. A reader
        // holding the old one keeps reading it until it closes it; then it is gone.
        const std::string aside = std::string(from) + ".old";
        if (MoveFileExA(to, aside.c_str(), 0)) {
            if (MoveFileExA(from, to, 0)) {
                DeleteFileA(aside.c_str());
                return true;
            }
            error = GetLastError();
            MoveFileExA(aside.c_str(), to, 0);
        }
        Sleep(kRetryMs);
    }
    SetLastError(error);
    return false;
}

std::FILE* PlatformOpenFileForReading(const char* path) {
    PlatformFile* opened = nullptr;
    if (PlatformOpenExisting(path, &opened) != FileOpen::kOpened) return nullptr;
    HANDLE h = opened->handle;
    delete opened;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (!file) _close(fd);
    return file;
}

std::string PlatformFileOwner(const char* path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                               &owner, nullptr, nullptr, nullptr, &descriptor);
    return OwnerText(result, owner, descriptor);
}

std::string PlatformAccountId(const std::string& name) {
    if (name.empty()) return "";
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    char domain[256];
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    if (!LookupAccountNameA(nullptr, name.c_str(), sid, &sidSize, domain, &domainSize, &use))
        return "";
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return "";
    const std::string id = text;
    LocalFree(text);
    return id;
}

bool PlatformIsAdministrator(const std::string& account) {
    return account == "S-1-5-18" || account == "S-1-5-32-544";  // SYSTEM, Administrators
}

bool PlatformExecutablePath(char* out, std::size_t size) {
    // The first module of the process is the executable itself.
    HMODULE module = nullptr;
    DWORD needed = 0;
    if (!EnumProcessModules(GetCurrentProcess(), &module, sizeof module, &needed)) return false;
    DWORD n = GetModuleFileNameExA(GetCurrentProcess(), module, out, static_cast<DWORD>(size));
    return n > 0 && n < size;
}

bool PlatformSetCurrentDirectory(const char* dir) {
    return SetCurrentDirectoryA(dir) != 0;
}

bool PlatformIsLeadByte(unsigned char c) {
    return IsDBCSLeadByte(c) != 0;
}

std::uint32_t PlatformReadProfileString(const char* section, const char* key, const char* def,
                                        char* out, std::uint32_t size, const char* iniPath) {
    return GetPrivateProfileStringA(section, key, def, out, size, iniPath);
}

bool PlatformDeleteFile(const char* path) {
    return DeleteFileA(path) != 0;
}

bool PlatformFolderIsPrivate(const char* path, const std::string& ownerId, std::string* why,
                             bool* missing) {
    const DWORD attributes = GetFileAttributesA(path);
    if (missing) *missing = false;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (missing) *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        *why = "it does not exist";
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        *why = "it is a link (a reparse point), which is never followed";
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *why = "it is not a folder";
        return false;
    }
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &acl, nullptr, &descriptor) != ERROR_SUCCESS) {
        *why = "its access list cannot be read";
        return false;
    }
    // The accounts that may write besides the owner's: SYSTEM, Administrators, the creator.
    constexpr DWORD kWriting =
        FILE_ADD_FILE | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL;
    std::string other = acl ? "" : "everyone (it has no access list)";
    ACL_SIZE_INFORMATION info{};
    if (acl && GetAclInformation(acl, &info, sizeof info, AclSizeInformation)) {
        for (DWORD i = 0; i < info.AceCount && other.empty(); ++i) {
            void* ace = nullptr;
            if (!GetAce(acl, i, &ace)) continue;
            const auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            if (entry->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (entry->Mask & kWriting) == 0)
                continue;
            LPSTR text = nullptr;
            if (!ConvertSidToStringSidA(const_cast<DWORD*>(&entry->SidStart), &text)) continue;
            const std::string sid = text;
            LocalFree(text);
            if (!PlatformIsAdministrator(sid) && sid != ownerId && sid != "S-1-3-4" &&
                sid != "S-1-3-0")
                other = "account " + sid;
        }
    }
    LocalFree(descriptor);
    if (!other.empty()) {
        *why = "other accounts may write to it (" + other + ")";
        return false;
    }
    return true;
}

bool PlatformPrivateFolder(const char* path, std::string* why) {
    // SYSTEM, Administrators and the creator (its owner) alone, inherited by what is made in it.
    PSECURITY_DESCRIPTOR made = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)", SDDL_REVISION_1, &made,
            nullptr)) {
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, made, FALSE};
        CreateDirectoryA(path, &attributes);
        LocalFree(made);
    }
    return PlatformFolderIsPrivate(path, PlatformOwnAccount(), why);
}

bool PlatformListFolder(const char* path, std::vector<FolderFile>* files) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((std::string(path) + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        ULARGE_INTEGER time;
        time.LowPart = found.ftLastWriteTime.dwLowDateTime;
        time.HighPart = found.ftLastWriteTime.dwHighDateTime;
        const std::int64_t seconds =
            static_cast<std::int64_t>(time.QuadPart / 10000000ULL) - 11644473600LL;
        files->push_back(
            {found.cFileName,
             (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow,
             seconds});
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return true;
}

namespace {

// Whether the account `sid` has the right `right` (FILE_ADD_FILE on a folder, FILE_READ_DATA
// on a file) on the object whose security descriptor is `descriptor`, as the system's
// authorization judges it from the account's groups (without logging it on). False, with the
// error in `error`, where it cannot be judged.
bool Authorized(PSID sid, PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK right, bool* allowed,
                DWORD* error) {
    AUTHZ_RESOURCE_MANAGER_HANDLE manager = nullptr;
    if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, nullptr,
                                        &manager)) {
        *error = GetLastError();
        return false;
    }
    AUTHZ_CLIENT_CONTEXT_HANDLE context = nullptr;
    LUID none = {0, 0};
    bool judged = false;
    if (AuthzInitializeContextFromSid(0, sid, manager, nullptr, none, nullptr, &context)) {
        AUTHZ_ACCESS_REQUEST request = {};
        request.DesiredAccess = MAXIMUM_ALLOWED;
        ACCESS_MASK granted = 0;
        DWORD result = 0;
        AUTHZ_ACCESS_REPLY reply = {};
        reply.ResultListLength = 1;
        reply.GrantedAccessMask = &granted;
        reply.Error = &result;
        if (AuthzAccessCheck(0, context, &request, nullptr, descriptor, nullptr, 0, &reply,
                             nullptr)) {
            judged = true;
            *allowed = result == ERROR_SUCCESS && (granted & right) != 0;
        }
        if (!judged) *error = GetLastError();
        AuthzFreeContext(context);
    } else {
        *error = GetLastError();
    }
    AuthzFreeResourceManager(manager);
    return judged;
}

}  // namespace

namespace {

// What the access list of `path` grants account `account` of `right`; `doing` names it in a
// refusal ("create files in it", "read it").
AccountAccess AccountMay(const char* path, const std::string& account, ACCESS_MASK right,
                         const char* doing, std::string* why) {
    const std::string id = PlatformAccountId(account);
    if (account.empty() || id == "S-1-5-18") return AccountAccess::kAllowed;  // LocalSystem
    if (id.empty()) {
        *why = "the system knows no account " + account;
        return AccountAccess::kRefused;
    }
    PSID sid = nullptr;
    ConvertStringSidToSidA(id.c_str(), &sid);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD got = GetNamedSecurityInfoA(
        path, SE_FILE_OBJECT,
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        nullptr, nullptr, nullptr, nullptr, &descriptor);
    bool allowed = false;
    DWORD error = got;
    const bool judged = sid != nullptr && got == ERROR_SUCCESS &&
                        Authorized(sid, descriptor, right, &allowed, &error);
    if (descriptor) LocalFree(descriptor);
    if (sid) LocalFree(sid);
    if (!judged) {
        *why = "the system cannot judge its access list for account " + account + " (" +
               Win32ErrorText(error) + "): grant the right with icacls";
        return AccountAccess::kNotJudged;
    }
    if (!allowed) {
        *why = "its access list does not let account " + account + " " + doing;
        return AccountAccess::kRefused;
    }
    return AccountAccess::kAllowed;
}

}  // namespace

AccountAccess PlatformAccountMayWriteFolder(const char* path, const std::string& account,
                                            std::string* why) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *why = "it does not exist";
        return AccountAccess::kRefused;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *why = "it is not a folder";
        return AccountAccess::kRefused;
    }
    return AccountMay(path, account, FILE_ADD_FILE, "create files in it", why);
}

AccountAccess PlatformAccountMayReadFile(const char* path, const std::string& account,
                                         std::string* why, bool* missing) {
    *missing = false;
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        *why = "it does not exist";
        return AccountAccess::kRefused;
    }
    return AccountMay(path, account, FILE_READ_DATA, "read it", why);
}

bool PlatformRotateAppendedFile(const char* path, const char* rotatedPath, std::uint64_t limitBytes,
                                bool* rotated, std::string* why) {
    *rotated = false;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        *why = std::string(path) + ": " + Win32ErrorText(error);
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || static_cast<std::uint64_t>(size.QuadPart) <= limitBytes) {
        CloseHandle(file);
        return true;
    }
    // The copy takes what is there and, read again just before the file is emptied, what the
    // writer added meanwhile: only what it writes between that read and the truncation is lost.
    // A new file: whatever had its name goes first, and one another account makes in that
    // moment makes the rotation fail, never receive a byte.
    DeleteFileA(rotatedPath);
    HANDLE copy = CreateFileA(rotatedPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = copy != INVALID_HANDLE_VALUE;
    std::vector<char> buffer(65536);
    for (int pass = 0; ok && pass < 2; ++pass) {
        for (;;) {
            DWORD got = 0, put = 0;
            if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
                ok = false;
                break;
            }
            if (got == 0) break;
            if (!(ok = WriteFile(copy, buffer.data(), got, &put, nullptr) && put == got)) break;
        }
        if (ok && pass == 1) {
            LARGE_INTEGER start = {};
            ok = SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file);
        }
    }
    if (!ok) *why = std::string(rotatedPath) + ": " + Win32ErrorText(GetLastError());
    if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
    CloseHandle(file);
    *rotated = ok;
    return ok;
}

std::vector<std::string> PlatformProfileKeys(const char* section, const char* iniPath) {
    // Without a key the profile API gives every key name of the section, each ended by a
    // zero and the list by another; a list that does not fit is cut, so the room grows.
    std::vector<std::string> names;
    for (DWORD room = 4096; room <= (1u << 20); room *= 4) {
        std::vector<char> list(room);
        const DWORD n = GetPrivateProfileStringA(section, nullptr, "", list.data(), room, iniPath);
        if (n + 2 >= room) continue;
        for (const char* p = list.data(); *p; p += std::strlen(p) + 1)
            names.emplace_back(p);
        break;
    }
    return names;
}

bool PlatformRenameNoReplace(const char* from, const char* to) {
    return MoveFileA(from, to) != 0;  // MoveFileA never replaces an existing file
}

struct PlatformAppendFile {
    HANDLE handle;
    std::int64_t position;
};

PlatformAppendFile* PlatformOpenAppend(const char* path, bool* link) {
    // Append-only access makes every WriteFile go to the current end of the file in one
    // step; others may read and append while we hold it. A reparse point (a symbolic link, a
    // junction) is opened as itself, never followed, and refused.
    if (link) *link = false;
    HANDLE h = CreateFileA(path, FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    if (IsReparsePoint(h)) {
        CloseHandle(h);
        if (link) *link = true;
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return nullptr;
    }
    LARGE_INTEGER size;
    return new PlatformAppendFile{h, GetFileSizeEx(h, &size) ? size.QuadPart : -1};
}

std::int64_t PlatformAppendPosition(PlatformAppendFile* file) {
    return file->position;
}

// Every writer of the log (each controller instance, the tools) takes an exclusive lock on
// one byte far beyond any real log size around its append. On Windows the append-only
// handle alone is atomic; under Wine it is emulated as "seek to the end, then write", which
// lets two processes write at the same offset. The lock makes it safe there too.
constexpr DWORD kAppendLockOffsetHigh = 0x7FFFFFFF;

bool PlatformAppendBytes(PlatformAppendFile* file, const char* bytes, std::size_t count,
                         bool* torn) {
    OVERLAPPED region = {};
    region.OffsetHigh = kAppendLockOffsetHigh;
    const bool locked = LockFileEx(file->handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region) != 0;
    DWORD written = 0;
    const bool ok = WriteFile(file->handle, bytes, static_cast<DWORD>(count), &written, nullptr) &&
                    written == count;
    // A part written on a full disk stays: this handle may only append, so it cannot cut
    // the file; the caller begins its next entry on a line of its own.
    if (torn) *torn = !ok && written > 0;
    if (locked) UnlockFileEx(file->handle, 0, 1, 0, &region);
    if (file->position >= 0) file->position += written;
    return ok;
}

struct PlatformRotationLock {
    HANDLE mutex;
};

namespace {

// The security of a mutex that exactly the accounts that may write the file at `path` may
// take: for every entry of the file's access list that grants or denies writing, the same
// entry for the mutex. A file without an access list (everyone may write it) gives a mutex
// without one. Where the file's security cannot be read, the mutex gets the creator's default.
class WritersSecurity {
public:
    explicit WritersSecurity(const char* path) {
        PACL fileAcl = nullptr;
        if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  &fileAcl, nullptr, &fileSecurity_) != ERROR_SUCCESS) {
            fileSecurity_ = nullptr;
            return;
        }
        if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) return;
        if (fileAcl && !CopyWriters(fileAcl)) return;
        if (!SetSecurityDescriptorDacl(&descriptor_, TRUE, fileAcl ? acl() : nullptr, FALSE))
            return;
        attributes_ = {sizeof attributes_, &descriptor_, FALSE};
        usable_ = true;
    }
    ~WritersSecurity() {
        if (fileSecurity_) LocalFree(fileSecurity_);
    }
    WritersSecurity(const WritersSecurity&) = delete;
    WritersSecurity& operator=(const WritersSecurity&) = delete;
    SECURITY_ATTRIBUTES* attributes() { return usable_ ? &attributes_ : nullptr; }

private:
    PACL acl() { return reinterpret_cast<PACL>(aclBytes_.data()); }
    bool CopyWriters(PACL fileAcl) {
        constexpr DWORD kWriting = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL;
        ACL_SIZE_INFORMATION info{};
        if (!GetAclInformation(fileAcl, &info, sizeof info, AclSizeInformation)) return false;
        aclBytes_.assign(sizeof(ACL) + info.AclBytesInUse, 0);
        if (!InitializeAcl(acl(), static_cast<DWORD>(aclBytes_.size()), ACL_REVISION)) return false;
        for (DWORD i = 0; i < info.AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(fileAcl, i, &ace)) return false;
            const auto* header = static_cast<ACE_HEADER*>(ace);
            if (header->AceFlags & INHERIT_ONLY_ACE) continue;
            // Allowed and denied entries have the same layout: a mask, then the account.
            const auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            if ((entry->Mask & kWriting) == 0) continue;
            PSID sid = const_cast<DWORD*>(&entry->SidStart);
            if (header->AceType == ACCESS_ALLOWED_ACE_TYPE &&
                !AddAccessAllowedAce(acl(), ACL_REVISION, MUTEX_ALL_ACCESS, sid)) {
                return false;
            }
            if (header->AceType == ACCESS_DENIED_ACE_TYPE &&
                !AddAccessDeniedAce(acl(), ACL_REVISION, MUTEX_ALL_ACCESS, sid)) {
                return false;
            }
        }
        return true;
    }
    PSECURITY_DESCRIPTOR fileSecurity_ = nullptr;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    std::vector<unsigned char> aclBytes_;
    bool usable_ = false;
};

}  // namespace

PlatformRotationLock* PlatformLockRotation(const char* path, std::uint32_t timeoutMs,
                                           PlatformEvent* abandon, std::string* foreign) {
    // Only accounts with the privilege to create global objects (services, administrators)
    // can make a global mutex first: nothing foreign to find here.
    if (foreign) foreign->clear();
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return nullptr;
    // A mutex name may not hold '\'; the path, upper-cased, names the file whatever its
    // spelling. Global, so that a service and a console run in another session share it.
    // Opening one that exists needs no privilege; creating one in the global namespace does,
    // and an account without it does not rotate: a mutex of its own session's namespace
    // would leave it without exclusion from the others, which could then both rotate.
    std::string name = full;
    for (char& c : name) {
        if (c == '\\') c = '/';
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    name = "Global\\qvljobctl-rotation:" + name;
    HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    if (mutex == nullptr) {
        WritersSecurity security(full);
        mutex = CreateMutexA(security.attributes(), FALSE, name.c_str());
    }
    if (mutex == nullptr) return nullptr;
    // The mutex first: a lock that is free is taken even when the stop has come.
    HANDLE handles[2] = {mutex, abandon ? abandon->handle : nullptr};
    const DWORD r = WaitForMultipleObjects(abandon ? 2 : 1, handles, FALSE, timeoutMs);
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED_0) {
        CloseHandle(mutex);
        return nullptr;
    }
    return new PlatformRotationLock{mutex};
}

void PlatformUnlockRotation(PlatformRotationLock* lock) {
    if (!lock) return;
    ReleaseMutex(lock->mutex);
    CloseHandle(lock->mutex);
    delete lock;
}

void PlatformCloseAppend(PlatformAppendFile* file) {
    if (!file) return;
    CloseHandle(file->handle);
    delete file;
}

void PlatformHoldReserve() {}

void PlatformReleaseReserve() {}

bool PlatformOutOfDescriptors(std::uint32_t error) {
    return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NO_SYSTEM_RESOURCES;
}

bool PlatformRandomBytes(void* out, std::size_t size) {
    // RtlGenRandom (advapi32's SystemFunction036): the system's generator, as rand_s uses it.
    if (RtlGenRandom(out, static_cast<ULONG>(size))) return true;
    SetLastError(ERROR_GEN_FAILURE);
    return false;
}

void PlatformLocalTimeNow(std::tm* out) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    *out = std::tm{};
    out->tm_year = st.wYear - 1900;
    out->tm_mon = st.wMonth - 1;
    out->tm_mday = st.wDay;
    out->tm_hour = st.wHour;
    out->tm_min = st.wMinute;
    out->tm_sec = st.wSecond;
    out->tm_wday = st.wDayOfWeek;
    out->tm_isdst = -1;
}

void PlatformSleep(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

namespace {

std::string EventSourceKey(const char* source) {
    return std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + source;
}

}  // namespace

bool PlatformRegisterEventSource(const char* source, const char* messageFile) {
    const std::string key = EventSourceKey(source);
    HKEY h = nullptr;
    DWORD created = 0;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &h, &created);
    if (rc == ERROR_SUCCESS) {
        const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        rc = RegSetValueExA(h, "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(messageFile),
                            static_cast<DWORD>(std::strlen(messageFile) + 1));
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExA(h, "TypesSupported", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&types), sizeof types);
        }
        RegCloseKey(h);
        if (rc != ERROR_SUCCESS && created == REG_CREATED_NEW_KEY) {
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
        }
    }
    SetLastError(static_cast<DWORD>(rc));
    return rc == ERROR_SUCCESS;
}

bool PlatformDeregisterEventSource(const char* source) {
    const LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str());
    SetLastError(static_cast<DWORD>(rc));
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool PlatformReportErrorEvent(const char* source, const char* line, const char* text) {
    HANDLE h = RegisterEventSourceA(nullptr, source);
    if (h == nullptr) return false;
    const char* strings[2] = {line, text};
    ReportEventA(h, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(h);
    return true;
}

bool PlatformReportWarningEvent(const char* source, const WarningEntry& entry) {
    HANDLE h = RegisterEventSourceA(nullptr, source);
    if (h == nullptr) return false;
    std::vector<const char*> strings;
    for (const std::string& insert : entry.inserts)
        strings.push_back(insert.c_str());
    const BOOL ok = ReportEventA(h, EVENTLOG_WARNING_TYPE, 0, entry.messageId, nullptr,
                                 static_cast<WORD>(strings.size()), 0,
                                 strings.empty() ? nullptr : strings.data(), nullptr);
    DeregisterEventSource(h);
    return ok != 0;
}

void PlatformPrepareProcess() {}

void PlatformBinaryStandardOutput() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}
