// Who this process is, and how a name makes an instance (see service_identity.h).
#include "service/service_identity.h"

#include <cstring>

ServiceIdentity gServiceIdentity = {"QUARVELIN_JOB_CONTROLLER", "QUARVELIN JOB CONTROLLER", 0, "",
                                    0};
bool gConsoleMode = false;

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The number that the digits at the start of `text` make, as far as it stays within
// kMaxInstanceNumber; `end` receives where the taken digits stop.
long LeadingNumber(const char* text, const char** end) {
    long value = 0;
    while (IsDigit(*text) && value <= (kMaxInstanceNumber - (*text - '0')) / 10) {
        value = value * 10 + (*text - '0');
        ++text;
    }
    *end = text;
    return value;
}

}  // namespace

bool InstanceFromName(const char* name, long* number) {
    if (std::strncmp(name, kBaseServiceName, kBaseServiceNameChars) != 0 ||
        !IsDigit(name[kBaseServiceNameChars])) {
        return false;
    }
    const char* end = nullptr;
    *number = LeadingNumber(name + kBaseServiceNameChars, &end);
    return true;
}

bool IsInstallableInstance(const char* text) {
    const char* end = nullptr;
    const long value = LeadingNumber(text, &end);
    return text[0] != '0' && *end == '\0' && end != text && value >= 1;
}
