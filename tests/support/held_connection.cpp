// A held client connection for the controller tests, through the product's own pipe client.
#include "platform/pipe_client.h"
#include "support/test_support.h"

namespace {

constexpr std::uint32_t kConnectWaitMs = 1000;  // a moment between two clients, no longer
constexpr std::uint32_t kSendWaitMs = 5000;

}  // namespace

HeldConnection::HeldConnection(const std::string& pipeName)
    : client_(PlatformPipeConnect(pipeName.c_str(), kConnectWaitMs)) {}

bool HeldConnection::Send(const std::string& message) {
    return client_ && PlatformPipeClientSend(client_, message.data(), message.size(), kSendWaitMs);
}

std::string HeldConnection::ReadAll(int timeoutMs) {
    std::string got;
    char buf[256];
    std::size_t n = 0;
    while (client_ && PlatformPipeClientReceive(client_, buf, sizeof buf, &n,
                                                static_cast<std::uint32_t>(timeoutMs))) {
        got.append(buf, n);
    }
    return got;
}

void HeldConnection::Release() {
    PlatformPipeClientClose(client_);
    client_ = nullptr;
}
