// The Windows Installer's custom action of the MSI (qvlmsiaction.dll, export QvlRunLogged):
// runs the command line the action was handed (its CustomActionData, which the package sets
// to a qvlinstances call) and writes every line the command prints into the installer's log,
// so that `msiexec /l*v` shows what was installed, started or left alone, and why. The action
// fails, and with it the installation, when the command ends with an exit code other than 0
// (an action marked to ignore its result goes on regardless). A program run as an EXE custom
// action has no way into that log: its output is lost.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

#include "service/status_report.h"

namespace {

// The system's text for error `code`, then the code in hexadecimal, as the log shows errors.
std::string ErrorText(DWORD code) {
    char text[kErrorTextBytes];
    return FormatError(code, text, sizeof text);
}

// A property's value; empty when it is not set or cannot be read.
std::string Property(MSIHANDLE install, const char* name) {
    char none[1] = "";
    DWORD size = 0;
    if (MsiGetPropertyA(install, name, none, &size) != ERROR_MORE_DATA) return std::string();
    std::string value(size + 1, '\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyA(install, name, &value[0], &size) != ERROR_SUCCESS) return std::string();
    value.resize(size);
    return value;
}

// One line into the installer's log. The record's template is formatted, so each bracket and
// brace of the line is escaped ([\x] is x as it stands).
void Log(MSIHANDLE install, const std::string& line) {
    std::string text;
    for (const char c : line) {
        if (c == '[' || c == ']' || c == '{' || c == '}') {
            text += "[\\";
            text += c;
            text += ']';
        } else {
            text += c;
        }
    }
    MSIHANDLE record = MsiCreateRecord(0);
    if (record == 0) return;
    MsiRecordSetStringA(record, 0, text.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// Hands each complete line of `pending` to the log, keeping the unfinished rest.
void LogLines(MSIHANDLE install, std::string* pending) {
    std::string::size_type end;
    while ((end = pending->find('\n')) != std::string::npos) {
        std::string line = pending->substr(0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Log(install, line);
        pending->erase(0, end + 1);
    }
}

}  // namespace

extern "C" UINT __stdcall QvlRunLogged(MSIHANDLE install) {
    std::string command = Property(install, "CustomActionData");
    if (command.empty()) {
        Log(install, "qvlmsiaction: the action was handed no command line");
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, "qvlmsiaction: running " + command);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        Log(install,
            "qvlmsiaction: no pipe for the command's output: " + ErrorText(GetLastError()));
        return ERROR_INSTALL_FAILURE;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = input;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi;
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    const std::string startError = started ? std::string() : ErrorText(GetLastError());
    // Only the child holds the write end now, so the reads end when it does.
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (!started) {
        CloseHandle(readEnd);
        Log(install, "qvlmsiaction: the command could not be started: " + startError);
        return ERROR_INSTALL_FAILURE;
    }
    std::string pending;
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        LogLines(install, &pending);
    }
    if (!pending.empty()) Log(install, pending);
    CloseHandle(readEnd);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    if (code != 0) {
        Log(install, "qvlmsiaction: the command ended with exit code " + std::to_string(code));
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}
