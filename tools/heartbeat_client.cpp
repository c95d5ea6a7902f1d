// The heartbeat client (see heartbeat_client.h).
#include "heartbeat_client.h"

#include <cstring>

#include "platform/pipe_client.h"
#include "supervision/heartbeat_protocol.h"

std::string ControllerPipeName(const std::string& instance) {
    return kBasePipeName + instance;
}

int SendHeartbeat(const std::string& instance, const std::string& message, std::uint32_t timeoutMs,
                  std::string* reply, std::string* refused) {
    char buffer[kReplyBytes];
    std::size_t got = 0;
    PipeHolder server;
    const int rc =
        PlatformPipeTransact(ControllerPipeName(instance).c_str(), message.c_str(),
                             message.size() + 1, buffer, sizeof buffer, &got, timeoutMs, &server);
    if (rc == 0) reply->assign(buffer, strnlen(buffer, got));
    if (rc == kServerRefused) {
        *refused = "process " + std::to_string(server.pid) + " of account " +
                   (server.account.empty() ? "(unknown)" : server.account);
    }
    return rc;
}
