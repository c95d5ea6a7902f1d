// The build's version (see version.h).
#include "service/version.h"

#include <cstdio>

#include "platform/ascii_text.h"

#ifndef QVL_VERSION
#error "QVL_VERSION is set by the build"
#endif

const char* BuildVersion() {
    return QVL_VERSION;
}

bool PrintVersionIfAsked(const char* program, const char* arg) {
    const bool asked = EqualsIgnoringAsciiCase(arg, "-version") ||
                       EqualsIgnoringAsciiCase(arg, "/version") ||
                       EqualsIgnoringAsciiCase(arg, "--version");
    if (asked) {
        std::printf("%s %s\n", program, BuildVersion());
        std::fflush(stdout);
    }
    return asked;
}
