// Program entry and the console run (see program_entry.h).
#include "host/program_entry.h"

#include <cstdio>
#include <cstring>

#include "host/check_command.h"
#include "host/service_host.h"
#include "host/status_command.h"
#include "platform/ascii_text.h"
#include "platform/console.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "service/version.h"
#include "supervision/controller.h"

namespace {

// None (the un-numbered controller) or an instance that -install takes; otherwise says why
// not and is false.
bool IsAcceptedInstance(const char* instance) {
    if (instance[0] == '\0' || IsInstallableInstance(instance)) return true;
    std::printf(
        "Invalid instance '%s': an instance is a number from 1 to %ld, "
        "written without sign, blanks or leading zero.\n",
        instance, kMaxInstanceNumber);
    return false;
}

void PrintUsage() {
    std::printf("%s -install <jobctrlNr> Installiert den Quarvelin JobCtl-Dienst\n",
                kUsageProgramName);
    std::printf("%s -remove  <jobctrlNr> Deinstalliert den Quarvelin JobCtl-Dienst\n",
                kUsageProgramName);
    std::printf("%s -debug <params>   Startet das Programm Zur Analyse vom CMD\n",
                kUsageProgramName);
    std::printf("\nStartServiceCtrlDispatcher wurde aufgerufen.\n");
    std::printf("Bitte warten.\n");
    std::fflush(stdout);
}

// The console run: prints "Debugging ...", installs the console handler and runs the
// controller with the program's path as service name. Returns the run's outcome.
int RunConsoleMode(int argc, char** argv) {
    std::printf("Debugging %s.\n", gServiceIdentity.displayName);
    std::fflush(stdout);
    PlatformInstallConsoleHandler(ConsoleControlHandler);
    return RunController(argc, argv);
}

}  // namespace

int ProgramMain(int argc, char** argv) {
    PlatformPrepareProcess();
    SetServiceNames("");
    if (argc >= 2 && (argv[1][0] == '-' || argv[1][0] == '/')) {
        const char* keyword = argv[1] + 1;
        const bool install = EqualsIgnoringAsciiCase(keyword, "install");
        if (install || EqualsIgnoringAsciiCase(keyword, "remove")) {
            const char* instance = argc >= 3 ? argv[2] : "";
            // Only a plain number is installed, so that the pipe a service serves and the
            // number its job starter is given always agree. Any text is removed, so that
            // installations made before can still go.
            if (install && !IsAcceptedInstance(instance)) return 1;
            SetServiceNames(instance);
            return (install ? InstallService() : RemoveService()) ? 0 : 1;
        }
        // The questions an operator asks of an instance, each with its instance number.
        struct Question {
            const char* keyword;
            int (*show)(const char* instance);
        };
        const Question questions[] = {
            {"status", ShowStatus}, {"metrics", ShowMetrics}, {"check", ShowCheck}};
        for (const Question& q : questions) {
            if (!EqualsIgnoringAsciiCase(keyword, q.keyword)) continue;
            const char* instance = argc == 3 ? argv[2] : "";
            if (argc > 3) std::printf("Usage: %s -%s [INSTANCE]\n", kUsageProgramName, q.keyword);
            if (argc > 3 || !IsAcceptedInstance(instance)) return kStatusUsage;
            return q.show(instance);
        }
        if (argc == 2 && PrintVersionIfAsked(kProgramName, argv[1])) return 0;
        if (EqualsIgnoringAsciiCase(keyword, "debug")) {
            SetConsoleMode();
            return RunConsoleMode(argc, argv);
        }
    }
    PrintUsage();
    int exitStatus = 0;
    if (!PlatformRunServiceDispatcher(kBaseServiceName, ControllerServiceMain, &exitStatus)) {
        ReportErrorEvent("StartServiceCtrlDispatcher failed.", PlatformLastError());
        return 1;
    }
    return exitStatus;
}

bool ConsoleControlHandler(std::uint32_t eventType) {
    if (eventType != kConsoleCtrlC && eventType != kConsoleCtrlBreak) return false;
    std::printf("Stopping %s.\n", gServiceIdentity.displayName);
    std::fflush(stdout);
    SignalStop();
    return true;
}
