// Small pieces that the Win32 backend's files share: the event behind PlatformEvent and the
// handle behind a process watch, which the run loop's one wait needs.
#pragma once

#include <windows.h>

#include "platform/pipe_server.h"
#include "platform/processes.h"

// A manual-reset, unnamed event.
struct PlatformEvent {
    HANDLE handle;
};

// The process handle of a watch (SYNCHRONIZE): signalled once the process has ended.
HANDLE WatchHandle(PlatformProcessWatch* watch);
