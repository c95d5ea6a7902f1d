// One heartbeat from the client side, the same on both platforms (see pipe_client.h).
#include "platform/pipe_client.h"

int PlatformPipeTransact(const char* name, const char* message, std::size_t length, char* reply,
                         std::size_t replySize, std::size_t* replyLength, std::uint32_t timeoutMs) {
    PlatformPipeClient* client = PlatformPipeConnect(name, timeoutMs);
    if (!client) return 1;
    const bool exchanged =
        PlatformPipeClientSend(client, message, length, timeoutMs) &&
        PlatformPipeClientReceive(client, reply, replySize, replyLength, timeoutMs);
    PlatformPipeClientClose(client);
    return exchanged ? 0 : 2;
}
