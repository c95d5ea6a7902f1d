// Win32 backend of the process operations: CreateProcessA, who a process is (its image name,
// creation time and command line, across the two widths where the system allows), process
// handles to wait on, and TerminateProcess.
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/processes.h"
#include "platform/win32/win32_internal.h"

namespace {

std::uint64_t FileTimeValue(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

HMODULE Ntdll() {
    return GetModuleHandleA("ntdll.dll");
}

// NtQueryInformationProcess's class for a process's command line (Windows 8.1 and later).
// Its result is a counted UTF-16 string followed by its characters. It works across the two
// widths; Wine 8 does not know it (STATUS_INVALID_INFO_CLASS).
constexpr ULONG kProcessCommandLineInformation = 60;
using QueryProcessInformation = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

QueryProcessInformation NtQuery() {
    static const auto query = reinterpret_cast<QueryProcessInformation>(
        reinterpret_cast<void*>(GetProcAddress(Ntdll(), "NtQueryInformationProcess")));
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

// True when `process` runs at the same width as this process (both WOW64 or neither).
bool SameWidth(HANDLE process) {
    BOOL mine = FALSE, its = FALSE;
    return IsWow64Process(GetCurrentProcess(), &mine) && IsWow64Process(process, &its) &&
           mine == its;
}

// Where that class is missing: the command line from the process's own parameter block,
// read out of its memory. Only for a process of this process's width, whose block has the
// layout this build knows.
bool CommandLineFromParameterBlock(DWORD pid, std::wstring* line) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return false;
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    bool ok =
        SameWidth(process) &&
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

// A 64-bit process seen from this 32-bit one under WOW64: its parameter block lies beyond
// this process's address space and has the 64-bit layout. ntdll's WOW64 calls read it.
struct BasicInformation64 {
    LONG exitStatus;
    ULONG reserved0;
    ULONG64 pebBaseAddress;
    ULONG64 affinityMask;
    LONG basePriority;
    ULONG reserved1;
    ULONG64 uniqueProcessId;
    ULONG64 inheritedFromUniqueProcessId;
};
struct UnicodeString64 {
    USHORT length;
    USHORT maximumLength;
    ULONG reserved;
    ULONG64 buffer;
};
constexpr ULONG64 kPeb64ProcessParameters = 0x20;   // PEB64.ProcessParameters
constexpr ULONG64 kParameters64CommandLine = 0x70;  // RTL_USER_PROCESS_PARAMETERS64.CommandLine
using Wow64Query = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
using Wow64Read = LONG(WINAPI*)(HANDLE, ULONG64, void*, ULONG64, ULONG64*);

bool CommandLineOfWiderProcess(DWORD pid, std::wstring* line) {
    if (sizeof(void*) != 4) return false;  // only a 32-bit process needs this way
    static const auto query = reinterpret_cast<Wow64Query>(
        reinterpret_cast<void*>(GetProcAddress(Ntdll(), "NtWow64QueryInformationProcess64")));
    static const auto read = reinterpret_cast<Wow64Read>(
        reinterpret_cast<void*>(GetProcAddress(Ntdll(), "NtWow64ReadVirtualMemory64")));
    if (!query || !read) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return false;
    BOOL mine = FALSE, its = TRUE;
    BasicInformation64 basic{};
    ULONG64 parameters = 0;
    UnicodeString64 text{};
    bool ok =
        IsWow64Process(GetCurrentProcess(), &mine) && mine && IsWow64Process(process, &its) &&
        !its && query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) >= 0 &&
        read(process, basic.pebBaseAddress + kPeb64ProcessParameters, &parameters,
             sizeof parameters, nullptr) >= 0 &&
        read(process, parameters + kParameters64CommandLine, &text, sizeof text, nullptr) >= 0;
    if (ok) {
        line->resize(text.length / sizeof(wchar_t));
        ok = line->empty() ||
             read(process, text.buffer, &(*line)[0], line->size() * sizeof(wchar_t), nullptr) >= 0;
    }
    CloseHandle(process);
    return ok;
}

bool CommandLine(DWORD pid, std::string* line) {
    std::wstring wide;
    if (!NtQuery() ||
        (!CommandLineByInfoClass(pid, &wide) && !CommandLineFromParameterBlock(pid, &wide) &&
         !CommandLineOfWiderProcess(pid, &wide))) {
        return false;
    }
    const int chars = static_cast<int>(wide.size());
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, wide.data(), chars, nullptr, 0, nullptr, nullptr);
    line->assign(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_ACP, 0, wide.data(), chars, &(*line)[0], bytes, nullptr, nullptr);
    }
    return true;
}

// Splits a command line into its words: the program, the first word (in quotes when it holds
// blanks), without its quotes; then the arguments after it, split at blanks.
void SplitCommandLine(const std::string& line, std::vector<std::string>* words) {
    std::size_t begin = 0, end = 0;
    if (!line.empty() && line[0] == '"') {
        begin = 1;
        end = line.find('"', 1);
        if (end == std::string::npos) end = line.size();
    } else {
        end = line.find_first_of(" \t");
        if (end == std::string::npos) end = line.size();
    }
    words->assign(1, line.substr(begin, end - begin));
    const std::size_t first = line.find_first_not_of(" \t\"", end);
    std::string word;
    for (std::size_t i = first; i != std::string::npos && i <= line.size(); ++i) {
        if (i == line.size() || line[i] == ' ' || line[i] == '\t') {
            if (!word.empty()) words->push_back(word);
            word.clear();
            if (i == line.size()) break;
        } else {
            word += line[i];
        }
    }
}

// The SID of the user a process runs as, as text; "" when its token cannot be read.
std::string AccountOf(HANDLE process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return "";
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size > 0 ? size : 1);
    std::string account;
    if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        LPSTR text = nullptr;
        if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
            account = text;
            LocalFree(text);
        }
    }
    CloseHandle(token);
    return account;
}

}  // namespace

std::string AccountOfProcessId(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return "";
    const std::string account = AccountOf(process);
    CloseHandle(process);
    return account;
}

struct PlatformProcessWatch {
    HANDLE handle;
    DWORD pid;
};

HANDLE WatchHandle(PlatformProcessWatch* watch) {
    return watch->handle;
}

bool PlatformFindProgram(const char* name, std::string* path) {
    // The application's folder, the current folder, the system folders, then PATH: the order
    // in which CreateProcessA finds a program named without a folder.
    char found[MAX_PATH];
    const DWORD n = SearchPathA(nullptr, name, ".exe", sizeof found, found, nullptr);
    if (n == 0 || n >= sizeof found) return false;
    *path = found;
    return true;
}

bool PlatformLaunch(const char* commandLine, std::uint32_t* pid, std::uint64_t* creationTime,
                    PlatformProcessWatch** watch, const ChildOutput* output,
                    std::string* outputProblem) {
    // The show-window field is set without the flag that makes it count: the child gets the
    // system's default window handling.
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.wShowWindow = SW_SHOW;
    // A file for the child's output: a handle of its own that only appends (so that it never
    // waits on the controller and writes on after the controller ends), the one handle it
    // inherits; the others may read, replace and empty the file meanwhile.
    HANDLE out = INVALID_HANDLE_VALUE;
    if (output && !output->file.empty()) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        out =
            CreateFileA(output->file.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (out != INVALID_HANDLE_VALUE) {
            BY_HANDLE_FILE_INFORMATION info;
            if (GetFileInformationByHandle(out, &info) &&
                (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                CloseHandle(out);
                out = INVALID_HANDLE_VALUE;
                SetLastError(ERROR_CANT_ACCESS_FILE);
            }
        }
        if (out == INVALID_HANDLE_VALUE && outputProblem) {
            *outputProblem = output->file + " cannot be opened: " + Win32ErrorText(GetLastError());
        }
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nullptr;
        si.hStdOutput = out == INVALID_HANDLE_VALUE ? nullptr : out;
        si.hStdError = si.hStdOutput;
    }
    PROCESS_INFORMATION pi;
    std::string line = commandLine;  // CreateProcessA may write into the command line
    const BOOL inherit = out != INVALID_HANDLE_VALUE ? TRUE : FALSE;
    const BOOL launched =
        CreateProcessA(nullptr, &line[0], nullptr, nullptr, inherit, 0, nullptr, nullptr, &si, &pi);
    if (out != INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        CloseHandle(out);
        SetLastError(error);
    }
    if (!launched) return false;
    FILETIME created, exited, kernel, user;
    *creationTime = GetProcessTimes(pi.hProcess, &created, &exited, &kernel, &user)
                        ? FileTimeValue(created)
                        : 0;
    *pid = pi.dwProcessId;
    // The watch is opened by id and checked while the creation's own handle still keeps that
    // id from being reused; then the controller keeps no other handle to its child.
    if (watch) *watch = PlatformWatchProcess(*pid, *creationTime);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return true;
}

namespace {

// One argument quoted by the C runtime's rules, so that the child's argv sees it unchanged.
std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string q = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        q.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        q += c;
    }
    q.append(backslashes * 2, '\\');
    return q + "\"";
}

}  // namespace

bool PlatformRunProgram(const std::string& program, const std::vector<std::string>& arguments,
                        std::uint32_t* exitCode) {
    std::string line = Quoted(program);
    for (const std::string& a : arguments)
        line += " " + Quoted(a);
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return false;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    *exitCode = code;
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return true;
}

PlatformProcessWatch* PlatformWatchProcess(std::uint32_t pid, std::uint64_t creationTime) {
    // The right to end it is asked for too, but a process of another account may refuse it:
    // it is then still watched.
    HANDLE process = OpenProcess(
        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
    if (process == nullptr)
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return nullptr;
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user) ||
        FileTimeValue(created) != creationTime ||
        WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        CloseHandle(process);
        return nullptr;
    }
    return new PlatformProcessWatch{process, pid};
}

bool PlatformWatchedEnded(PlatformProcessWatch* watch, bool* codeKnown, std::uint32_t* exitCode) {
    if (WaitForSingleObject(watch->handle, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    const bool known = GetExitCodeProcess(watch->handle, &code) != 0;
    if (codeKnown) *codeKnown = known;
    if (exitCode) *exitCode = known ? code : 0;
    return true;
}

std::string PlatformWatchedAccount(PlatformProcessWatch* watch) {
    // The handle keeps the process's id from being reused while it is held.
    if (WaitForSingleObject(watch->handle, 0) == WAIT_OBJECT_0) return "";
    return AccountOf(watch->handle);
}

bool PlatformEndWatched(PlatformProcessWatch* watch) {
    return TerminateProcess(watch->handle, 1) != 0;
}

void PlatformCloseWatch(PlatformProcessWatch* watch) {
    if (!watch) return;
    CloseHandle(watch->handle);
    delete watch;
}

// The image name comes from QueryFullProcessImageNameA with limited query rights, which every
// account has and which work across the two widths: this 32-bit program cannot list a 64-bit
// process's modules (EnumProcessModules fails with 998 there).
bool PlatformProcessFacts(std::uint32_t pid, ProcessFacts* facts) {
    *facts = ProcessFacts{};
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
    if (ok) facts->account = AccountOf(process);
    CloseHandle(process);
    if (!ok) return false;
    facts->executablePath = path;
    facts->created = FileTimeValue(created);
    std::string line;
    facts->commandLineKnown = CommandLine(pid, &line);
    if (facts->commandLineKnown) SplitCommandLine(line, &facts->words);
    return true;
}

std::size_t PlatformOwnNamespaceDepth() {
    return 0;  // Windows has no PID namespaces
}

std::string PlatformOwnAccount() {
    static const std::string account = AccountOf(GetCurrentProcess());
    return account;
}

std::vector<std::string> PlatformScriptLine(std::uint32_t, const std::string&) {
    return {};  // Windows starts no script through a "#!" line
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
