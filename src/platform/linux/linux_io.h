// Small pieces that the Linux backend's files share: writing a buffer whole, the /proc
// names it reads, and plain words for an error whose system text would mislead.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "platform/pipe_server.h"
#include "platform/processes.h"

constexpr std::size_t kProcPathBytes = 64;  // "/proc/<pid>/cmdline" and the like
constexpr int kStatParent = 4;              // /proc/PID/stat: the parent's id
constexpr int kStatStartTime = 22;          // /proc/PID/stat: start time, ticks after boot

// Windows-style relative paths from INI files (".\QVLJOBCTL.LOG") name the same files here:
// '\' is taken as '/'.
std::string LinuxPath(const char* path);

// Writes all `size` bytes to `fd`, going on after a signal or a short write. False when a
// write fails (errno set); `written` (when not null) receives how many bytes went out.
bool WriteAll(int fd, const char* data, std::size_t size, std::size_t* written = nullptr);

// Gives error `code` the text `text` (instead of the system's) the next time the calling
// thread asks for the text of that code; the code itself stays the real one. For failures
// where the system's words would send an operator the wrong way ("No such file or
// directory" when systemd is not running).
void ExplainNextError(int code, const char* text);

// A manual-reset event: an eventfd, readable once set, and it is never reset.
struct PlatformEvent {
    int fd;
    std::atomic<bool> set{false};  // read without a system call (PlatformEventIsSet)
};

// The descriptor that becomes readable once a watched process has ended (its pidfd).
int WatchDescriptor(PlatformProcessWatch* watch);
// Where this process is the first of its PID namespace (a container's entry point), starts
// the thread that reaps every child it inherits.
void StartReaperWhenFirstProcess();
