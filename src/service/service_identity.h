// Who this process is: the service and display names (base names, then with the instance
// text appended), whether the run is a numbered instance, its suffix and number; and
// whether it runs in the console for diagnosis rather than under the service manager.
#pragma once

#include <string>

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

// The un-numbered controller's pipe; a numbered instance's name adds its number in decimal.
constexpr char kBasePipeName[] = "\\\\.\\pipe\\qvljobctl";

// The names an instance goes by, all made from its instance text ("" for the un-numbered
// controller, "3" for instance 3, which is also its job starter's argument), so that they
// always agree.
struct InstanceNames {
    std::string service;      // "QUARVELIN_JOB_CONTROLLER3"
    std::string display;      // "QUARVELIN JOB CONTROLLER3"
    std::string pipe;         // "\\.\pipe\qvljobctl3"
    std::string stateFile;    // "QVLJOBCTL3.STATE", in the log's folder
    std::string metricsFile;  // "qvljobctl3.prom", in QVLMETRICSDIR
};
InstanceNames NamesOfInstance(const std::string& instanceText);

// Sets the service and display names for -install, -remove and the like: the base names
// followed by `instanceText`.
void SetServiceNames(const char* instanceText);
// Sets the run's identity from its name (see InstanceFromName): the service name, whether it
// is numbered, its number and its suffix (the number in decimal, "" when un-numbered).
void TakeRunIdentity(const char* name);

// Set by "-debug" before anything else runs (SetConsoleMode): status reports and event-log
// entries are skipped, since no service manager is involved.
extern bool gConsoleMode;
void SetConsoleMode();
