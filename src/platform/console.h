// The console port: Ctrl+C and Ctrl+Break for a console run, and standard output that
// passes every byte as it is.
#pragma once

#include <cstdint>

// The console control events, in Windows' numbering (CTRL_C_EVENT, CTRL_BREAK_EVENT).
constexpr std::uint32_t kConsoleCtrlC = 0;
constexpr std::uint32_t kConsoleCtrlBreak = 1;
// Installs a console control handler: Ctrl+C and Ctrl+Break reach it on a thread of
// its own, as Windows' console control thread calls it (Linux: SIGINT and SIGQUIT, taken by
// a dedicated thread; SIGTERM, a container runtime's stop, and SIGHUP, a closed terminal,
// come as Ctrl+C). It returns true when
// it handled the event. Call it before any other thread is started. False when it could not be
// installed.
bool PlatformInstallConsoleHandler(bool (*handler)(std::uint32_t eventType));
// Standard output passes every byte as it is: Windows' text mode would turn each LF into CR LF
// (the metrics' format wants LF alone). Nothing to do on Linux.
void PlatformBinaryStandardOutput();
