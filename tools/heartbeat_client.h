// One heartbeat against a controller: connect to its pipe, send one message with its
// terminating zero, receive the 80-byte reply. Shared by qvlping and the sample job starter.
#pragma once

#include <cstdint>
#include <string>

constexpr std::uint32_t kDefaultClientTimeoutMs = 5000;

// The pipe name of an instance: "\\.\pipe\qvljobctl" followed by the instance text.
std::string ControllerPipeName(const std::string& instance);

// Sends `message` and gives the reply text: up to its zero byte, or all 80 bytes when it has
// none. Returns 0 on success, 1 when no controller listens, 2 when the exchange failed, 3
// when the pipe's server runs under an account that is neither this one nor an
// administrator's: it is sent nothing, and `refused` says which process of which account it
// is.
int SendHeartbeat(const std::string& instance, const std::string& message, std::uint32_t timeoutMs,
                  std::string* reply, std::string* refused);
