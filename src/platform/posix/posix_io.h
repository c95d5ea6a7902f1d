// Small pieces that the Linux backend's files share: writing a buffer whole, and the /proc
// names it reads.
#pragma once

#include <cstddef>

constexpr std::size_t kProcPathBytes = 64;  // "/proc/<pid>/cmdline" and the like
constexpr int kStatParent = 4;              // /proc/PID/stat: the parent's id
constexpr int kStatStartTime = 22;          // /proc/PID/stat: start time, ticks after boot

// Writes all `size` bytes to `fd`, going on after a signal or a short write. False when a
// write fails (errno set); `written` (when not null) receives how many bytes went out.
bool WriteAll(int fd, const char* data, std::size_t size, std::size_t* written = nullptr);
