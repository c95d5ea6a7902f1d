// Windows backend of the hang capture (see hang_capture.h): MiniDumpWriteDump of dbghelp, with
// the threads' information and the header as the dump's comment. The call cannot be
// interrupted; the shared code lets it end by itself when it is abandoned.
#include <windows.h>
#include <dbghelp.h>

#include <cstdio>
#include <string>

#include "platform/hang_capture.h"
#include "platform/win32/win32_internal.h"

bool PlatformRunHangCapture(std::uint32_t pid, const std::string& path, const std::string& header,
                            const std::atomic<bool>& cancel, std::string* why) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
        *why = Win32ErrorText(GetLastError());
        return false;
    }
    HANDLE file = cancel ? INVALID_HANDLE_VALUE
                         : CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    bool written = false;
    if (file == INVALID_HANDLE_VALUE) {
        *why = cancel ? "abandoned" : Win32ErrorText(GetLastError());
    } else {
        MINIDUMP_USER_STREAM comment = {CommentStreamA, static_cast<ULONG>(header.size() + 1),
                                        const_cast<char*>(header.c_str())};
        MINIDUMP_USER_STREAM_INFORMATION streams = {1, &comment};
        written = MiniDumpWriteDump(process, pid, file,
                                    static_cast<MINIDUMP_TYPE>(MiniDumpWithThreadInfo), nullptr,
                                    &streams, nullptr) != 0;
        if (!written) *why = Win32ErrorText(GetLastError());
        CloseHandle(file);
        if (!written) DeleteFileA(path.c_str());
    }
    CloseHandle(process);
    return written;
}

bool PlatformCaptureSelf(const std::string& path, const std::string& header, std::string* why) {
    const std::atomic<bool> never{false};
    return PlatformRunHangCapture(GetCurrentProcessId(), path, header, never, why);
}

void PlatformRemoveHangReport(const std::string& path) {
    DeleteFileA(path.c_str());
}

const char* PlatformHangReportExtension() {
    return ".dmp";
}
