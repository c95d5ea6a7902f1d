// Test helper: appends COUNT entries "TAG n\n" to the log at PATH (rotated to ROTATION)
// through WriteLog, as a second controller (or any other process sharing the log) would.
//   log_writer PATH ROTATION TAG COUNT
#include <cstdio>
#include <cstdlib>

#include "config/configuration.h"
#include "log/log_file.h"

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    std::snprintf(gControllerSettings.logPath, kPathBytes, "%s", argv[1]);
    std::snprintf(gControllerSettings.rotationPath, kPathBytes, "%s", argv[2]);
    const long count = std::atol(argv[4]);
    for (long i = 0; i < count; ++i) {
        WriteLogFormatted("%s %ld\n", argv[3], i);
    }
    return 0;
}
