// Test helper: resolves the configuration as the controller does at start-up, from wherever
// this executable has been copied, and prints what GetIniValues left behind.
#include <cstdio>
#include <filesystem>
#include <string>

#include "config/configuration.h"

int main() {
    const int result = GetIniValues();
    std::string unknown;
    for (const std::string& key : LastIniExplanation().unknownKeys)
        unknown += (unknown.empty() ? "" : ",") + key;
    std::printf("result=%d\nlog=%s\nrotation=%s\nsuffix=%s\ncwd=%s\nunknown=%s\nproblem=%s\n",
                result, gControllerSettings.logPath, gControllerSettings.rotationPath,
                gControllerSettings.databaseSuffix,
                std::filesystem::current_path().string().c_str(), unknown.c_str(),
                LastIniExplanation().problem.c_str());
    return 0;
}
