// The heartbeat client (see heartbeat_client.h).
#include "heartbeat_client.h"

#include <cstring>

#include "platform/pipe_client.h"
#include "supervision/heartbeat_protocol.h"

std::string ControllerPipeName(const std::string& instance) {
    return kBasePipeName + instance;
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
