// Test helper: what another account does to a controller's pipe, through the product's own
// pipe code, for SECONDS (then it exits 0).
//   other_account_client squat NAME SECONDS    takes the pipe's name first and answers every
//                                              client with an 80-byte reply of its own
//   other_account_client hold N NAME SECONDS   keeps N clients connected that never write,
//                                              each connecting again once dropped
//   other_account_client beat NAME MS SECONDS  one heartbeat every MS milliseconds; prints
//                                              how many were answered
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe_client.h"
#include "platform/pipe_server.h"

namespace {

using Clock = std::chrono::steady_clock;

int Squat(const char* name, Clock::time_point end) {
    PlatformPipeAccess* access = nullptr;
    std::uint32_t error = 0;
    PlatformPipe* pipe = PlatformNewPipeServer(&error);
    PlatformEvent* never = PlatformCreateEvent();
    if (!pipe || !never || PlatformOpenPipeAccess(&access, &error) != PipeAccessStep::kMade ||
        !PlatformServePipe(pipe, name, access, &error)) {
        std::fprintf(stderr, "squat: the name could not be taken\n");
        return 1;
    }
    std::printf("squatting\n");
    std::fflush(stdout);
    char request[80], reply[80] = "SQUATTER";
    while (Clock::now() < end) {
        if (PlatformPipeAwaitClient(pipe).state == PipeStart::kPending &&
            PlatformWait(never, pipe, nullptr, 100) != WaitResult::kPipe) {
            PlatformPipeCancel(pipe);
            continue;
        }
        if (PlatformPipeReadRequest(pipe, request, sizeof request).state == PipeStart::kPending)
            PlatformWait(never, pipe, nullptr, 1000);
        if (PlatformPipeSendReply(pipe, reply, sizeof reply).state == PipeStart::kPending)
            PlatformWait(never, pipe, nullptr, 1000);
        PlatformPipeDisconnect(pipe);
    }
    PlatformClosePipe(pipe);
    return 0;
}

// One client that never writes and holds its connection until the server drops it (a
// receive ends at the drop), then connects again at once.
void HoldOne(const std::string& name, Clock::time_point end, std::atomic<int>* connections) {
    char buffer[80];
    std::size_t got = 0;
    while (Clock::now() < end) {
        PlatformPipeClient* client = PlatformPipeConnect(name.c_str(), 1000);
        if (!client) continue;
        ++*connections;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        PlatformPipeClientReceive(client, buffer, sizeof buffer, &got,
                                  static_cast<std::uint32_t>(left > 0 ? left : 0));
        PlatformPipeClientClose(client);
    }
}

int Hold(int count, const char* name, Clock::time_point end) {
    std::atomic<int> connections{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < count; ++i)
        clients.emplace_back(HoldOne, std::string(name), end, &connections);
    for (std::thread& t : clients)
        t.join();
    std::printf("%d connections\n", connections.load());
    return 0;
}

int Beat(const char* name, long everyMs, Clock::time_point end) {
    int answered = 0;
    char reply[80];
    std::size_t got = 0;
    while (Clock::now() < end) {
        if (PlatformPipeTransact(name, "OTHER", 6, reply, sizeof reply, &got, 1000) == 0)
            ++answered;
        std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
    }
    std::printf("%d answered\n", answered);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto end = [&](int i) { return Clock::now() + std::chrono::seconds(std::atol(argv[i])); };
    if (mode == "squat" && argc == 4) return Squat(argv[2], end(3));
    if (mode == "hold" && argc == 5) return Hold(std::atoi(argv[2]), argv[3], end(4));
    if (mode == "beat" && argc == 5) return Beat(argv[2], std::atol(argv[3]), end(4));
    std::fprintf(stderr, "usage: see the file's head\n");
    return 2;
}
