// Small pieces that the Win32 backend's files share: the event behind PlatformEvent and the
// handle behind a process watch, which the run loop's one wait needs, and an error's text.
#pragma once

#include <windows.h>

#include <string>

#include "platform/pipe_server.h"
#include "platform/processes.h"

// A manual-reset, unnamed event.
struct PlatformEvent {
    HANDLE handle;
};

// The process handle of a watch (SYNCHRONIZE): signalled once the process has ended.
HANDLE WatchHandle(PlatformProcessWatch* watch);

// The SID of the user process `pid` runs as, as text; "" when it cannot be told.
std::string AccountOfProcessId(DWORD pid);

// The system's text for error `code` on one line, with the code: "Access is denied. (0x5)".
std::string Win32ErrorText(DWORD code);
