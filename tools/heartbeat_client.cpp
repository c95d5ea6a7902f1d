// The heartbeat client (see heartbeat_client.h).
#include "heartbeat_client.h"

#include <cstring>

#include "platform/platform.h"

namespace {

constexpr std::size_t kReplyBytes = 80;

}  // namespace

std::string ControllerPipeName(const std::string& instance) {
    return "\\\\.\\pipe\\qvljobctl" + instance;
}

int SendHeartbeat(const std::string& instance, const std::string& message, std::uint32_t timeoutMs,
                  std::string* reply) {
    char buffer[kReplyBytes];
    std::size_t got = 0;
    const int rc = PlatformPipeTransact(ControllerPipeName(instance).c_str(), message.c_str(),
                                        message.size() + 1, buffer, sizeof buffer, &got, timeoutMs);
    if (rc == 0) reply->assign(buffer, strnlen(buffer, got));
    return rc;
}
