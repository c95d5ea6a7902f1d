// The -check command (see check_command.h).
#include "host/check_command.h"

#include <cstdio>
#include <string>

#include "config/configuration.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/service_manager.h"
#include "service/service_identity.h"
#include "supervision/job_starter.h"

namespace {

class Findings {
public:
    void Ok(const std::string& text) { Say("ok:", text); }
    void Warning(const std::string& text) { Say("warning:", text); }
    void Problem(const std::string& text) {
        ++problems_;
        Say("problem:", text);
    }
    int problems() const { return problems_; }

private:
    // A finding may carry what an INI or settings file holds: control characters are shown
    // as '?', never sent to the terminal.
    static void Say(const char* label, std::string text) {
        for (char& c : text) {
            const unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7f) c = '?';
        }
        std::printf("  %-9s%s\n", label, text.c_str());
    }
    int problems_ = 0;
};

// The folder of a file's path, with its separator; "" when the path names none.
std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

void CheckPrograms(Findings* out, const std::string& jobStarterImage) {
    for (const RunProgram& program : FindRunPrograms(jobStarterImage)) {
        if (!program.path.empty()) {
            out->Ok(program.label + ": " + program.path);
        } else if (program.needed) {
            out->Problem(program.MissingText());
        } else {
            out->Warning(program.MissingText());
        }
    }
}

// A folder as the operator reads it: a relative one is the executable's folder's (the
// controller runs there).
std::string Shown(const std::string& folder) {
    const bool relative = !folder.empty() && folder[0] != '/' && folder[0] != '\\' &&
                          (folder.size() < 2 || folder[1] != ':');
    char exe[kPathBytes];
    if (!relative || !PlatformExecutablePath(exe, sizeof exe)) return folder;
    return folder + " (in " + FolderOf(exe) + ")";
}

void CheckFolder(Findings* out, const std::string& what, const std::string& folder,
                 const std::string& account) {
    const std::string who = account.empty() ? "the system's account" : "account " + account;
    std::string why;
    switch (PlatformAccountMayWriteFolder(folder.c_str(), account, &why)) {
        case AccountAccess::kAllowed:
            out->Ok(what + " " + Shown(folder) + " can be written by " + who);
            break;
        case AccountAccess::kRefused:
            out->Problem(what + " " + Shown(folder) + " cannot be written by " + who + ": " + why);
            break;
        case AccountAccess::kNotJudged:
            out->Warning(what + " " + Shown(folder) + ": " + why);
            break;
    }
}

// A file the instance reads at its start (the INI, the settings file): said only when the
// service's account may not read it, which -check run by an administrator would not notice.
// One missing is the configuration's to say (an INI may be missing: the defaults hold).
void CheckReadable(Findings* out, const std::string& what, const std::string& file,
                   const std::string& account) {
    if (file.empty()) return;
    const std::string who = account.empty() ? "the system's account" : "account " + account;
    std::string why;
    bool missing = false;
    switch (PlatformAccountMayReadFile(file.c_str(), account, &why, &missing)) {
        case AccountAccess::kAllowed:
            break;
        case AccountAccess::kRefused:
            if (!missing) {
                out->Problem(what + " " + Shown(file) + " cannot be read by " + who + ": " + why);
            }
            break;
        case AccountAccess::kNotJudged:
            out->Warning(what + " " + Shown(file) + ": " + why);
            break;
    }
}

// The hang report folder as the controller takes it at its first report: one that exists must
// be a folder of the service's account (or an administrator's) that no other account may write
// to; a missing one is made then, in a folder the account may write to. A console run (no
// service installed) is the asking account's own.
void CheckReportFolder(Findings* out, const ControllerSettings& s, const std::string& account,
                       bool installed) {
    const std::string folder = s.dumpDir;
    const std::string kept = ", the newest " + std::to_string(s.dumpKeep) + " reports kept";
    const std::string owner = installed ? PlatformAccountId(account) : PlatformOwnAccount();
    std::string why;
    bool missing = false;
    if (PlatformFolderIsPrivate(folder.c_str(), owner, &why, &missing)) {
        out->Ok("hang report folder " + folder + kept);
        return;
    }
    if (!missing) {
        out->Problem("hang report folder " + folder +
                     " would be refused at the first report: " + why);
        return;
    }
    std::string parent = folder;
    while (parent.size() > 1 && (parent.back() == '/' || parent.back() == '\\'))
        parent.pop_back();
    parent = FolderOf(parent);
    if (parent.empty()) parent = ".";
    if (PlatformAccountMayWriteFolder(parent.c_str(), account, &why) != AccountAccess::kRefused) {
        out->Ok("hang report folder " + folder + " is made at the first report" + kept);
    } else {
        out->Problem("hang report folder " + folder +
                     " cannot be made at the first report: " + parent + " " + why);
    }
}

}  // namespace

int ShowCheck(const char* instanceText) {
    const InstanceNames names = NamesOfInstance(instanceText);
    std::printf("%s\n", names.display.c_str());
    Findings out;
    const int config = GetIniValues(instanceText);
    const IniExplanation& ini = LastIniExplanation();
    const ControllerSettings& s = gControllerSettings;
    if (config == kIniOk) {
        const std::string sections =
            std::string("section [") + kIniSection + "]" +
            (instanceText[0] != '\0' ? std::string(" under [") + kIniSection + instanceText + "]"
                                     : "");
        out.Ok("configuration " + ini.iniPath + ", " + sections + ": time-out " +
               std::to_string(s.heartbeatTimeoutMs) + " ms, restart on exit " +
               std::to_string(s.restartOnExit) + ", log " + s.logPath);
        out.Ok(std::string("settings file ") + s.settingsPath + ": database system " +
               s.databaseSuffix);
    } else {
        out.Problem("configuration: " + (ini.problem.empty()
                                             ? "GetIniValues failed with " + std::to_string(config)
                                             : ini.problem));
    }
    for (const IniKeyFound& key : ini.unknownKeys)
        out.Warning(UnknownKeyText(key));
    // Every key's value in effect, and the section it came from.
    for (const IniSource& v : ini.values) {
        out.Ok(v.key + "=" + v.value + " (" +
               (v.section.empty() ? std::string("the default") : "[" + v.section + "]") + ")");
    }
    CheckPrograms(&out, config == kIniOk ? JobStarterImageFor(s.databaseSuffix) : "");
    // The account the service runs as; one not installed would run as the system's.
    ServiceQuery service;
    if (!PlatformQueryService(names.service.c_str(), &service)) service = ServiceQuery{};
    if (service.state == ServiceState::kNotInstalled) {
        out.Warning("the service " + names.service +
                    " is not installed; the folders are checked for the system's account");
    }
    if (config == kIniOk) {
        CheckReadable(&out, "configuration", ini.iniPath, service.account);
        CheckReadable(&out, "settings file", s.settingsPath, service.account);
    }
    const std::string logFolder = FolderOf(s.logPath);
    if (!logFolder.empty()) {
        CheckFolder(&out, "log and state folder", logFolder, service.account);
    } else if (config == kIniOk) {
        out.Problem("the log's path names no folder");
    }
    if (s.metricsDir[0] != '\0') {
        CheckFolder(&out, "metrics folder", s.metricsDir, service.account);
    }
    if (s.dumpDir[0] != '\0') {
        CheckReportFolder(&out, s, service.account, service.state != ServiceState::kNotInstalled);
    }
    const int problems = out.problems();
    std::printf("  %-9s%s\n", "verdict:",
                problems == 0 ? "the instance can start"
                              : ("the instance cannot start as it is: " + std::to_string(problems) +
                                 (problems == 1 ? " problem" : " problems"))
                                    .c_str());
    return problems == 0 ? kCheckCanStart : kCheckCannotStart;
}
