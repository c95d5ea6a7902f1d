// One heartbeat from the client side, the same on both platforms (see pipe_client.h).
#include "platform/pipe_client.h"

#include "platform/files.h"
#include "platform/processes.h"

bool ServerAccepted(const std::string& server, const std::string& own) {
    return !server.empty() && (server == own || PlatformIsAdministrator(server));
}

int PlatformPipeTransact(const char* name, const char* message, std::size_t length, char* reply,
                         std::size_t replySize, std::size_t* replyLength, std::uint32_t timeoutMs,
                         PipeHolder* holder) {
    PlatformPipeClient* client = PlatformPipeConnect(name, timeoutMs);
    if (!client) return 1;
    PipeHolder server;
    server.served = true;
    PlatformPipeClientServer(client, &server.pid, &server.account);
    if (holder) *holder = server;
    if (!ServerAccepted(server.account, PlatformOwnAccount())) {
        PlatformPipeClientClose(client);
        return kServerRefused;
    }
    const bool exchanged =
        PlatformPipeClientSend(client, message, length, timeoutMs) &&
        PlatformPipeClientReceive(client, reply, replySize, replyLength, timeoutMs);
    PlatformPipeClientClose(client);
    return exchanged ? 0 : 2;
}
