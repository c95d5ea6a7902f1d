// qvlping: checks a running controller by sending one heartbeat and printing its reply.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "heartbeat_client.h"
#include "platform/pipe_client.h"
#include "service/version.h"

namespace {

const char kUsage[] =
    "usage: qvlping [--instance TEXT] [--timeout MS] [MESSAGE]\n"
    "Sends MESSAGE (default PING) to the controller's pipe \\\\.\\pipe\\qvljobctl followed by\n"
    "the instance text, and prints the controller's reply.\n"
    "A server of another account than this one or an administrator's is refused unasked.\n"
    "Exit status: 0 replied, 1 no controller listening, no reply or a refused server, 2 wrong\n"
    "command line.\n";

// A time-out in milliseconds: digits only, and small enough for the 32-bit waits that keep
// to it (0xFFFFFFFF would mean "for ever" there); a larger one is refused, never wrapped.
constexpr unsigned long long kMaxTimeoutMs = 0xFFFFFFFEull;

bool Number(const char* s, unsigned long* value) {
    const std::size_t n = std::strlen(s);
    if (n == 0 || n > 10 || std::strspn(s, "0123456789") != n) return false;
    const unsigned long long v = std::strtoull(s, nullptr, 10);
    if (v > kMaxTimeoutMs) return false;
    *value = static_cast<unsigned long>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && PrintVersionIfAsked("qvlping", argv[1])) return 0;
    std::string instance, message = "PING";
    unsigned long timeout = kDefaultClientTimeoutMs;
    bool haveMessage = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--instance" && i + 1 < argc) {
            instance = argv[++i];
        } else if (arg == "--timeout" && i + 1 < argc && Number(argv[i + 1], &timeout)) {
            ++i;
        } else if (arg.rfind("--", 0) != 0 && !haveMessage) {
            message = arg;
            haveMessage = true;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    std::string reply, refused;
    const int rc =
        SendHeartbeat(instance, message, static_cast<std::uint32_t>(timeout), &reply, &refused);
    if (rc == kServerRefused) {
        std::fprintf(stderr,
                     "qvlping: refused the server of %s: %s runs under neither this account "
                     "nor an administrator's, so it is no controller of this installation\n",
                     ControllerPipeName(instance).c_str(), refused.c_str());
        return 1;
    }
    if (rc == 1) {
        std::fprintf(stderr, "qvlping: no controller listening on %s\n",
                     ControllerPipeName(instance).c_str());
        return 1;
    }
    if (rc != 0) {
        std::fprintf(stderr, "qvlping: no reply from %s\n", ControllerPipeName(instance).c_str());
        return 1;
    }
    std::printf("%s\n", reply.c_str());
    return 0;
}
