// Test helper: appends COUNT entries "TAG n\n" to the log at PATH (rotated to ROTATION)
// through WriteLog, as a second controller (or any other process sharing the log) would.
//   log_writer PATH ROTATION TAG COUNT
// Or holds the lock on rotating the log at PATH for SECONDS, as a hung writer would; PATH.held
// appears once it is held.
//   log_writer --hold PATH SECONDS
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/configuration.h"
#include "log/log_file.h"
#include "platform/log_output.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--hold") == 0) {
        PlatformRotationLock* lock = PlatformLockRotation(argv[2], 60000, nullptr);
        if (!lock) return 1;
        if (std::FILE* f = std::fopen((std::string(argv[2]) + ".held").c_str(), "wb")) {
            std::fputs("held\n", f);
            std::fclose(f);
        }
        PlatformSleep(static_cast<std::uint32_t>(std::atol(argv[3])) * 1000);
        PlatformUnlockRotation(lock);
        return 0;
    }
    if (argc != 5) return 2;
    std::snprintf(gControllerSettings.logPath, kPathBytes, "%s", argv[1]);
    std::snprintf(gControllerSettings.rotationPath, kPathBytes, "%s", argv[2]);
    const long count = std::atol(argv[4]);
    for (long i = 0; i < count; ++i) {
        WriteLogFormatted("%s %ld\n", argv[3], i);
    }
    return 0;
}
