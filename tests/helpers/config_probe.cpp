// Test helper: resolves the configuration as the controller does at start-up, from wherever
// this executable has been copied (for the instance its argument names, if any), and prints
// what GetIniValues left behind, every key's value in effect with its section too.
#include <cstdio>
#include <filesystem>
#include <string>

#include "config/configuration.h"

int main(int argc, char** argv) {
    const int result = GetIniValues(argc > 1 ? argv[1] : "");
    std::string unknown;
    for (const IniKeyFound& key : LastIniExplanation().unknownKeys)
        unknown += (unknown.empty() ? "" : ",") + key.key;
    std::printf("result=%d\nlog=%s\nrotation=%s\nsuffix=%s\ncwd=%s\nunknown=%s\nproblem=%s\n",
                result, gControllerSettings.logPath, gControllerSettings.rotationPath,
                gControllerSettings.databaseSuffix,
                std::filesystem::current_path().string().c_str(), unknown.c_str(),
                LastIniExplanation().problem.c_str());
    for (const IniSource& v : LastIniExplanation().values)
        std::printf("%s=%s [%s]\n", v.key.c_str(), v.value.c_str(), v.section.c_str());
    return 0;
}
