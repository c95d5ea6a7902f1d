// Test helper: appends COUNT entries "TAG n\n" to the log at PATH through WriteLog, as a
// second controller (or any other process sharing the log) would.
#include <cstdio>
#include <cstdlib>

#include "config/configuration.h"
#include "log/log_file.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    std::snprintf(gControllerSettings.logPath, kPathBytes, "%s", argv[1]);
    std::snprintf(gControllerSettings.rotationPath, kPathBytes, "%s.old", argv[1]);
    const long count = std::atol(argv[3]);
    for (long i = 0; i < count; ++i) {
        WriteLogFormatted("%s %ld\n", argv[2], i);
    }
    return 0;
}
