// The service side of the program: the service main that the dispatcher calls, the service
// manager's control handler, and installing and removing the service.
#pragma once

#include <cstdint>

// Registers the control handler, reports start pending, runs the controller with the service
// manager's arguments (argv[0] is the installed service name), then reports stopped: exit
// code 0 after a stop request; after a failed start-up 1066 with the configuration result
// as the service-specific code, or the captured platform error (1066 with code 1 when none).
void ControllerServiceMain(int argc, char** argv);

// Register or remove the service under gServiceIdentity's names, printing the outcome.
// Installing also registers the event source (its texts are in the executable) and sets the
// service manager's recovery (restart after a failure); removing deletes the registration.
// True when the operation succeeded: a recovery the service manager refuses gets its own
// line but leaves the installation standing and successful.
bool InstallService();
bool RemoveService();
