// Who this process is, and how a name makes an instance (see service_identity.h).
#include "service/service_identity.h"

#include <cstdio>
#include <cstring>

// The un-numbered controller until the run's name says otherwise.
ServiceIdentity gServiceIdentity = [] {
    ServiceIdentity identity{};
    std::snprintf(identity.serviceName, sizeof identity.serviceName, "%s", kBaseServiceName);
    std::snprintf(identity.displayName, sizeof identity.displayName, "%s", kBaseDisplayName);
    return identity;
}();
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

InstanceNames NamesOfInstance(const std::string& instanceText) {
    return {kBaseServiceName + instanceText, kBaseDisplayName + instanceText,
            kBasePipeName + instanceText, "QVLJOBCTL" + instanceText + ".STATE",
            "qvljobctl" + instanceText + ".prom"};
}

void SetServiceNames(const char* instanceText) {
    const InstanceNames names = NamesOfInstance(instanceText);
    std::snprintf(gServiceIdentity.serviceName, kServiceNameBytes, "%s", names.service.c_str());
    std::snprintf(gServiceIdentity.displayName, kServiceNameBytes, "%s", names.display.c_str());
}

void TakeRunIdentity(const char* name) {
    ServiceIdentity& id = gServiceIdentity;
    std::snprintf(id.serviceName, sizeof id.serviceName, "%s", name);
    id.instanceNumber = 0;
    id.numbered = InstanceFromName(id.serviceName, &id.instanceNumber) ? 1 : 0;
    id.instanceSuffix[0] = '\0';
    if (id.numbered) {
        std::snprintf(id.instanceSuffix, sizeof id.instanceSuffix, "%ld", id.instanceNumber);
    }
}

void SetConsoleMode() {
    gConsoleMode = true;
}
