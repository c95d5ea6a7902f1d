// Job starter control (see job_starter.h).
#include "supervision/job_starter.h"

#include <cstdio>

#include "config/ascii_text.h"
#include "config/configuration.h"
#include "host/service_identity.h"
#include "host/status_report.h"
#include "log/log_file.h"
#include "platform/platform.h"

JobStarterState gJobStarter;

namespace {

// True while the remembered id still names the job starter this run started: the same
// image name and the same creation time. An id that has ended, or been taken over by any
// other process since (ids are reused), is never killed.
bool StillOurJobStarter(const char* image) {
    char name[kModuleNameChars + 1] = "";
    std::uint64_t created = 0;
    if (!PlatformProcessIdentity(gJobStarter.pid, name, sizeof name, &created)) return false;
    return name[0] != '\0' && EqualsIgnoringAsciiCase(name, image) &&
           created == gJobStarter.creationTime;
}

void Kill(const char* target, std::uint32_t pauseMs) {
    char command[kCommandLineBytes];
    std::snprintf(command, sizeof command, "KILL %s", target);
    LaunchCommandLine(command);
    PlatformSleep(pauseMs);
}

}  // namespace

std::uint32_t LaunchCommandLine(const char* commandLine, std::uint64_t* creationTime) {
    std::uint32_t pid = 0;
    std::uint64_t created = 0;
    if (PlatformLaunch(commandLine, &pid, &created)) {
        std::snprintf(gLogMessage, sizeof gLogMessage, "Prozess %s  PID(%ld) erstellt. \n",
                      commandLine, static_cast<long>(pid));
        WriteLog(gLogMessage);
        if (creationTime) *creationTime = created;
        return pid;
    }
    char error[kErrorTextBytes];
    FormatLastError(error, sizeof error);
    std::snprintf(gLogMessage, sizeof gLogMessage,
                  "Prozess %s: konnte nicht erzeugt werden. Fehler: %s!\n", commandLine, error);
    WriteLog(gLogMessage);
    return 0;
}

void RestartJobStarterPausing(std::uint32_t killPauseMs) {
    const char* suffix = gControllerSettings.databaseSuffix;
    char image[kCommandLineBytes], command[kCommandLineBytes];
    std::snprintf(image, sizeof image, "QVLJOBSTR%s.EXE", suffix);
    if (gServiceIdentity.numbered == 1) {
        if (gJobStarter.pid != 0 && StillOurJobStarter(image)) {
            char id[24];
            std::snprintf(id, sizeof id, "%ld", static_cast<long>(gJobStarter.pid));
            Kill(id, killPauseMs);
        }
        std::snprintf(command, sizeof command, "QVLJOBSTR%s.EXE %ld ", suffix,
                      gServiceIdentity.instanceNumber);
        gJobStarter.creationTime = 0;
        gJobStarter.pid = LaunchCommandLine(command, &gJobStarter.creationTime);
        return;
    }
    Kill(image, killPauseMs);
    LaunchCommandLine(image);
}

void RestartJobStarter() {
    RestartJobStarterPausing(kKillPauseMs);
}
