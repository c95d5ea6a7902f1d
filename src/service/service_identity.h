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
    char instanceSuffix[kServiceNameBytes];  // the instance number in decimal, "" if none
    long instanceNumber;                     // the instance number, or 0
};

extern ServiceIdentity gServiceIdentity;

// The highest instance number that can be installed: nine digits keep it within a 32-bit
// long and the service and pipe names short.
constexpr long kMaxInstanceNumber = 999999999;

// The instance a run's name makes. A name (the service name, or in a console run the
// program path as typed) is numbered only when it is the base service name followed at once
// by a decimal digit; its number is what those digits make (digits that would go past
// kMaxInstanceNumber are not taken). The number's decimal form then names the pipe and is
// the job starter's argument, so that the two always agree. False for every other name.
bool InstanceFromName(const char* name, long* number);
// True for the instance texts that -install accepts: a plain decimal number from 1 to
// kMaxInstanceNumber, without sign, blanks or leading zero.
bool IsInstallableInstance(const char* text);

// Set by "-debug" before anything else runs: status reports and event-log entries are
// skipped, since no service manager is involved.
extern bool gConsoleMode;
