// Win32 backend of the platform interface: the Win32 calls the controller is built on
// (psapi for its own path, the profile API, the event-log API, FormatMessageA). The service
// manager calls have a file of their own.
#include "platform/platform.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstring>
#include <string>
#include <vector>

std::uint32_t PlatformLastError() {
    return GetLastError();
}

void PlatformSetLastError(std::uint32_t code) {
    SetLastError(code);
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

std::FILE* PlatformOpenFile(const char* path, const char* mode) {
    return std::fopen(path, mode);
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

bool PlatformReplaceFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool PlatformRenameNoReplace(const char* from, const char* to) {
    return MoveFileA(from, to) != 0;  // MoveFileA never replaces an existing file
}

struct PlatformAppendFile {
    HANDLE handle;
    std::int64_t position;
};

PlatformAppendFile* PlatformOpenAppend(const char* path) {
    // Append-only access makes every WriteFile go to the current end of the file in one
    // step; others may read and append while we hold it.
    HANDLE h = CreateFileA(path, FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
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

PlatformRotationLock* PlatformLockRotation(const char* path) {
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return nullptr;
    // A mutex name may not hold '\'; the path, upper-cased, names the file whatever its
    // spelling. Global, so that a service and a console run share it; Local where the
    // caller may not make global objects.
    std::string name = full;
    for (char& c : name) {
        if (c == '\\') c = '/';
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    HANDLE mutex = CreateMutexA(nullptr, FALSE, ("Global\\qvljobctl-rotation:" + name).c_str());
    if (mutex == nullptr)
        mutex = CreateMutexA(nullptr, FALSE, ("Local\\qvljobctl-rotation:" + name).c_str());
    if (mutex == nullptr) return nullptr;
    const DWORD r = WaitForSingleObject(mutex, INFINITE);
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) {
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

void PlatformPrepareProcess() {}

// ---- Processes ----------------------------------------------------------------------------

namespace {

std::uint64_t FileTimeValue(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

bool PlatformLaunch(const char* commandLine, std::uint32_t* pid, std::uint64_t* creationTime) {
    // The show-window field is set without the flag that makes it count: the child gets the
    // system's default window handling.
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION pi;
    std::string line = commandLine;  // CreateProcessA may write into the command line
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return false;
    }
    FILETIME created, exited, kernel, user;
    *creationTime = GetProcessTimes(pi.hProcess, &created, &exited, &kernel, &user)
                        ? FileTimeValue(created)
                        : 0;
    *pid = pi.dwProcessId;
    CloseHandle(pi.hProcess);  // the controller keeps no handle to its children
    CloseHandle(pi.hThread);
    return true;
}

// The image name comes from QueryFullProcessImageNameA with limited query rights, which work
// across the two widths: this 32-bit program cannot list a 64-bit process's modules
// (EnumProcessModules fails with 998 there), so a 64-bit job starter would never be
// recognised, and so never ended.
bool PlatformProcessIdentity(std::uint32_t pid, char* name, std::size_t nameSize,
                             std::uint64_t* creationTime) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return false;
    char path[MAX_PATH];
    DWORD length = sizeof path;
    FILETIME created, exited, kernel, user;
    bool ok = QueryFullProcessImageNameA(process, 0, path, &length) &&
              GetProcessTimes(process, &created, &exited, &kernel, &user);
    // A process that has ended but whose object is still held open is no longer running.
    DWORD code = 0;
    if (ok && GetExitCodeProcess(process, &code) && code != STILL_ACTIVE) ok = false;
    if (ok) {
        const char* slash = std::strrchr(path, '\\');
        std::snprintf(name, nameSize, "%s", slash ? slash + 1 : path);
        *creationTime = FileTimeValue(created);
    }
    CloseHandle(process);
    return ok;
}

namespace {

// NtQueryInformationProcess's class for a process's command line (Windows 8.1 and later).
// Its result is a counted UTF-16 string followed by its characters. It works across the two
// widths; Wine 8 does not know it (STATUS_INVALID_INFO_CLASS).
constexpr ULONG kProcessCommandLineInformation = 60;
using QueryProcessInformation = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

QueryProcessInformation NtQuery() {
    static const auto query = reinterpret_cast<QueryProcessInformation>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    return query;
}

bool CommandLineByInfoClass(DWORD pid, std::wstring* line) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return false;
    std::vector<char> buffer(sizeof(UNICODE_STRING) + 65536);
    ULONG got = 0;
    const bool ok = NtQuery()(process, kProcessCommandLineInformation, buffer.data(),
                              static_cast<ULONG>(buffer.size()), &got) >= 0;
    CloseHandle(process);
    if (!ok) return false;
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    line->assign(text->Buffer, text->Length / sizeof(wchar_t));
    return true;
}

// Where that class is missing: the command line from the process's own parameter block,
// read out of its memory. Only for a process of this process's width, whose block has the
// layout this build knows.
bool CommandLineFromParameterBlock(DWORD pid, std::wstring* line) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return false;
    BOOL mine = FALSE, its = FALSE;
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    bool ok =
        IsWow64Process(GetCurrentProcess(), &mine) && IsWow64Process(process, &its) &&
        mine == its &&
        NtQuery()(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) >= 0 &&
        ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, nullptr) &&
        ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, nullptr);
    if (ok) {
        line->resize(parameters.CommandLine.Length / sizeof(wchar_t));
        ok = line->empty() || ReadProcessMemory(process, parameters.CommandLine.Buffer, &(*line)[0],
                                                line->size() * sizeof(wchar_t), nullptr);
    }
    CloseHandle(process);
    return ok;
}

}  // namespace

bool PlatformProcessArguments(std::uint32_t pid, std::string* arguments) {
    if (!NtQuery()) return false;
    std::wstring wide;
    if (!CommandLineByInfoClass(pid, &wide) && !CommandLineFromParameterBlock(pid, &wide)) {
        return false;
    }
    const int chars = static_cast<int>(wide.size());
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, wide.data(), chars, nullptr, 0, nullptr, nullptr);
    std::string line(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_ACP, 0, wide.data(), chars, &line[0], bytes, nullptr, nullptr);
    }
    // The program is the first word, in quotes when it holds blanks; the rest are arguments.
    std::size_t end = 0;
    if (!line.empty() && line[0] == '"') {
        end = line.find('"', 1);
        end = end == std::string::npos ? line.size() : end + 1;
    } else {
        end = line.find_first_of(" \t");
        if (end == std::string::npos) end = line.size();
    }
    const std::size_t first = line.find_first_not_of(" \t", end);
    arguments->assign(first == std::string::npos ? "" : line.substr(first));
    while (!arguments->empty() && (arguments->back() == ' ' || arguments->back() == '\t'))
        arguments->pop_back();
    return true;
}

std::uint32_t PlatformCurrentProcessId() {
    return GetCurrentProcessId();
}

bool PlatformListProcesses(std::vector<ProcessEntry>* out) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        out->push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
    }
    CloseHandle(snapshot);
    return true;
}

bool PlatformProcessExists(std::uint32_t pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

bool PlatformTerminateProcess(std::uint32_t pid) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (process == nullptr) return false;
    // A process that has ended, but whose object someone still holds, is not ended again.
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    const bool ok = running && TerminateProcess(process, 1) != 0;
    if (!running) SetLastError(ERROR_INVALID_PARAMETER);
    CloseHandle(process);
    return ok;
}
