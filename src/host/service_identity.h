// Who this process is: the service and display names (base names, then with the instance
// text appended), whether the run is a numbered instance, its suffix and number; and
// whether it runs in the console for diagnosis rather than under the service manager.
#pragma once

constexpr int kServiceNameBytes = 256;  // 255 characters and the terminator
constexpr char kBaseServiceName[] = "QUARVELIN_JOB_CONTROLLER";
constexpr char kBaseDisplayName[] = "QUARVELIN JOB CONTROLLER";
constexpr int kBaseServiceNameChars = sizeof kBaseServiceName - 1;  // 24

struct ServiceIdentity {
    char serviceName[kServiceNameBytes];
    char displayName[kServiceNameBytes];
    int numbered;                            // 1 for a numbered instance
    char instanceSuffix[kServiceNameBytes];  // service name after its first 24 characters
    long instanceNumber;                     // leading decimal value of the suffix, or 0
};

extern ServiceIdentity gServiceIdentity;

// Set by "-debug" before anything else runs: status reports and event-log entries are
// skipped, since no service manager is involved.
extern bool gConsoleMode;
