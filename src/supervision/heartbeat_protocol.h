// The heartbeat pipe's protocol, shared by the controller and its clients (qvlping, the
// sample job starter): one message in, one fixed-size reply that echoes it, then the
// controller disconnects. Every client is served; only one of the job starter's account is a
// heartbeat.
#pragma once

#include <cstddef>
#include <string>

#include "service/service_identity.h"      // the pipe's name
constexpr std::size_t kRequestBytes = 80;  // one heartbeat message; a longer one is cut
constexpr std::size_t kReplyBytes = 80;    // the reply on the wire, always this long
// The reply's text before it is cut to kReplyBytes: the 80-byte message in the format.
constexpr char kReplyFormat[] = "QVLJOBCTL.EXE Read -> [%.*s]";
constexpr std::size_t kReplyFormatChars = sizeof "QVLJOBCTL.EXE Read -> []" - 1;  // 24
constexpr std::size_t kReplyRoomBytes = kReplyFormatChars + kRequestBytes + 1;    // 105

// Whether a client of account `client` is a heartbeat of a job starter running as
// `jobStarter`: the same account, as the system told it; never one it could not tell.
inline bool CountsAsHeartbeat(const std::string& client, const std::string& jobStarter) {
    return !client.empty() && client == jobStarter;
}
