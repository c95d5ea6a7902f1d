// The client side of both heartbeat benchmarks: heartbeats per second through one pipe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>

#include "platform/pipe_client.h"

// Sends `heartbeats` heartbeats one after the other to `pipeName`; their rate per second,
// or 0 (with a line on stderr) when one of them failed.
inline double HeartbeatRate(const char* pipeName, int heartbeats) {
    char reply[80];
    std::size_t got = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < heartbeats; ++i) {
        if (PlatformPipeTransact(pipeName, "PING", 5, reply, sizeof reply, &got, 5000) != 0) {
            std::fprintf(stderr, "heartbeat %d failed\n", i);
            return 0;
        }
    }
    const std::chrono::duration<double> s = std::chrono::steady_clock::now() - start;
    return heartbeats / s.count();
}
