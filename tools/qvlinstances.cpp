// qvlinstances: the installed instances of the controller beside it, for the packages'
// install, upgrade and removal steps (and for operators). An instance of this installation is
// a service whose registered executable is the controller in this program's own folder.
//   qvlinstances install "3 5"   registers each instance by running the controller's own
//                                "-install N" (an instance installed already is kept), gives
//                                it a log of its own where QVLJOBCTL.INI has no section
//                                [JOBATR<N>] for it, and starts it once its settings file
//                                is there (else says why); a start that fails fails
//   qvlinstances stop [FILE]     stops the running instances, noting them in FILE
//   qvlinstances start [FILE]    starts the instances FILE notes again, then deletes it
//   qvlinstances remove [FILE]   stops and removes every instance ("-remove N") and ends its
//                                job starters, which outlive their controller by design;
//                                nothing while FILE exists: an upgrade stopped them and
//                                starts them again (an upgrade may remove the old version
//                                as if it were uninstalled, as Wine's installer does)
//   qvlinstances unregister "3 5"  stops and removes those of them this installation has
//                                (the rollback of a failed or cancelled install)
//   qvlinstances set KEY=VALUE ...  writes the values into QVLJOBCTL.INI's [JOBATR] (the MSI's
//                                public properties); an empty value is skipped, and nothing
//                                is written unless the controller takes every value given
//   qvlinstances list            prints them, one per line
//   qvlinstances check           shows the controller's -check of each of them
// install and start show the -check of each instance before they start it.
// FILE defaults to "qvlinstances.restart" beside this program.
// Exit status: 0 done, 1 a step failed (the line says which), 2 wrong command line.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/configuration.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "service/product_files.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "service/version.h"
#include "supervision/job_starter.h"
#include "supervision/run_state.h"

namespace {

constexpr int kStopWaitSeconds = 60;  // a controller stops within a second or two
// A controller reports running within a second or two of its start; 200 ms apart, 30 s.
constexpr int kStartWaitTries = 150;

std::string gFolder;  // this program's folder, with its separator

std::string Beside(const char* name) {
    return gFolder + name;
}

std::string Controller() {
    return Beside(ControllerFileName());
}

int Usage() {
    std::fprintf(stderr,
                 "usage: qvlinstances install \"N ...\" | stop [FILE] | start [FILE] | remove "
                 "[FILE] | unregister \"N ...\" | set KEY=VALUE ... | list | check\n");
    return 2;
}

bool Fail(const std::string& what) {
    char error[kErrorTextBytes];
    std::printf("qvlinstances: %s - %s\n", what.c_str(),
                FormatError(PlatformLastError(), error, sizeof error));
    return false;
}

bool Run(const std::string& program, const std::vector<std::string>& args, std::uint32_t* code) {
    std::fflush(stdout);  // what was said so far comes before what the program says
    if (PlatformRunProgram(program, args, code)) return true;
    return Fail("cannot run " + program);
}

std::vector<std::string> Instances() {
    std::vector<std::string> names;
    if (!PlatformServicesOf(Controller().c_str(), kBaseServiceName, &names))
        Fail("the service manager");
    return names;
}

// The instance text of a service name ("3" for QUARVELIN_JOB_CONTROLLER3).
std::string InstanceText(const std::string& service) {
    return service.substr(kBaseServiceNameChars);
}

// Stops a running service and waits until it has stopped; true also when it was not running.
bool StopService(const std::string& name, bool* wasRunning) {
    *wasRunning = false;
    PlatformServiceManager* manager = PlatformOpenServiceManager();
    PlatformService* service = manager ? PlatformOpenService(manager, name.c_str()) : nullptr;
    if (!service) {
        PlatformCloseServiceManager(manager);
        return Fail("cannot open " + name);
    }
    ServiceState state = ServiceState::kRunning;
    if (PlatformStopService(service, &state)) {
        *wasRunning = true;
        for (int i = 0; i < kStopWaitSeconds * 10 && PlatformServiceState(service, &state) &&
                        state != ServiceState::kStopped;
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    PlatformCloseService(service);
    PlatformCloseServiceManager(manager);
    return true;
}

bool StartService(const std::string& name) {
    // A service another process has just created may take the manager a moment to show.
    constexpr int kOpenTries = 50;
    PlatformServiceManager* manager = PlatformOpenServiceManager();
    PlatformService* service = nullptr;
    for (int i = 0; manager && !service && i < kOpenTries; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        service = PlatformOpenService(manager, name.c_str());
    }
    bool ok = service && PlatformStartService(service);
    if (!ok) Fail("cannot start " + name);
    // Started is said only of a service that runs: one that stops during its start (its
    // configuration failed) is a failed start, never reported as success.
    ServiceState state = ServiceState::kStarting;
    for (int i = 0; ok && i < kStartWaitTries && state == ServiceState::kStarting; ++i) {
        if (!PlatformServiceState(service, &state)) break;
        if (state == ServiceState::kStarting)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (ok && state != ServiceState::kRunning) {
        std::printf("qvlinstances: %s did not start: it %s; its log and the event log say why\n",
                    name.c_str(),
                    state == ServiceState::kStopped ? "stopped again" : "is still starting");
        ok = false;
    }
    PlatformCloseService(service);
    PlatformCloseServiceManager(manager);
    if (ok) std::printf("%s started.\n", name.c_str());
    return ok;
}

// Whether an instance can be started now: its settings file is there (on a new server the
// suite is often installed after the controller). When it is not, it is registered only, and
// why is said on the console and in the event log.
bool StartsNow(const std::string& instance, const std::string& name) {
    GetIniValues(instance);
    const std::string settings = gControllerSettings.settingsPath;
    std::string bytes;
    if (settings.empty() ||
        PlatformReadSmallFile(settings.c_str(), 0, &bytes) != SmallFileRead::kMissing) {
        return true;
    }
    const std::string why = name + " is registered but not started: its settings file " + settings +
                            " is not there yet; start it once the suite is installed";
    std::printf("qvlinstances: %s\n", why.c_str());
    PlatformReportErrorEvent(name.c_str(), (name + " not started").c_str(), why.c_str());
    return false;
}

// Writes `values` (section, key, value) into the INI beside, each line said on the console.
struct IniValue {
    std::string section, key, value;
};
bool WriteIni(const std::vector<IniValue>& values) {
    const std::string ini = Beside(kIniFileName);
    std::string text;
    if (PlatformReadSmallFile(ini.c_str(), kMaxConfigFileBytes, &text) == SmallFileRead::kFailed)
        return Fail("cannot read " + ini);
    for (const IniValue& v : values)
        text = IniTextWithValue(text, v.section, v.key, v.value);
    if (!PlatformReplaceFileWith(ini.c_str(), text)) return Fail("cannot write " + ini);
    for (const IniValue& v : values)
        std::printf("%s: [%s] %s=%s\n", ini.c_str(), v.section.c_str(), v.key.c_str(),
                    v.value.c_str());
    return true;
}

// Gives instance `instance` a log of its own when the INI beside has no section of its own:
// [JOBATR<N>] with QVLLOG the log of [JOBATR] with the number before its extension. An INI
// the operator wrote a section into is left as it is.
bool GiveOwnLog(const std::string& instance) {
    const std::string ini = Beside(kIniFileName);
    const std::string section = kIniSection + instance;
    if (!PlatformProfileKeys(section.c_str(), ini.c_str()).empty()) return true;
    // [JOBATR]'s log as the configuration resolves it for the un-numbered controller (a
    // settings file still missing is no matter here).
    GetIniValues("");
    std::string log;
    for (const IniSource& source : LastIniExplanation().values)
        if (source.key == "QVLLOG") log = source.value;
    PathParts parts;
    if (log.empty() || !SplitPath(log.c_str(), &parts))
        return Fail("the log of [" + std::string(kIniSection) + "]");
    const std::string own =
        std::string(parts.drive) + parts.dir + parts.fname + instance + parts.ext;
    return WriteIni({{section, "QVLLOG", own}});
}

// `set`: KEY=VALUE arguments into [JOBATR]. A value's surrounding blanks go (as the profile
// reader drops them; the MSI ends each quoted argument with one, so that a folder's closing
// backslash does not escape the quote).
bool SetValues(int count, char** arguments) {
    std::vector<IniValue> values;
    bool ok = true;
    for (int i = 0; i < count; ++i) {
        const std::string argument = arguments[i];
        const std::string::size_type eq = argument.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::printf("qvlinstances: %s is no KEY=VALUE\n", argument.c_str());
            ok = false;
            continue;
        }
        std::string value = argument.substr(eq + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        if (value.empty()) continue;  // not given
        std::string why;
        if (!IniValueValid(argument.substr(0, eq), value, &why)) {
            std::printf("qvlinstances: %s; nothing is written\n", why.c_str());
            ok = false;
            continue;
        }
        values.push_back({kIniSection, argument.substr(0, eq), value});
    }
    return ok && (values.empty() || WriteIni(values));
}

// Shows the controller's -check of an instance (its findings are for the operator: a start
// goes on whatever they say). False when it found a problem.
bool Check(const std::string& instance) {
    std::fflush(stdout);
    std::uint32_t code = 0;
    return Run(Controller(), {"-check", instance}, &code) && code == 0;
}

bool RemoveEach(const std::vector<std::string>& names);

bool Install(const std::string& list) {
    std::istringstream words(list);
    std::string instance;
    const std::vector<std::string> installed = Instances();
    std::vector<std::string> registered;  // by this run
    bool ok = true;
    while (words >> instance) {
        const std::string name = NamesOfInstance(instance).service;
        bool known = false;
        for (const std::string& n : installed)
            known = known || n == name;
        std::uint32_t code = 0;
        if (!known && (!Run(Controller(), {"-install", instance}, &code) || code != 0)) {
            std::printf("qvlinstances: %s was not installed\n", name.c_str());
            ok = false;
            continue;
        }
        if (!known) registered.push_back(name);
        ok = GiveOwnLog(instance) && ok;
        Check(instance);
        if (StartsNow(instance, name)) ok = StartService(name) && ok;
    }
    // A failed installation leaves no instance it registered: its rollback may remove the
    // program before any rollback action of ours could run (Wine's does).
    if (!ok && !registered.empty()) {
        std::printf("qvlinstances: the installation fails: the instances it registered go\n");
        RemoveEach(registered);
    }
    return ok;
}

bool Stop(const std::string& file) {
    std::ofstream noted(file, std::ios::trunc);
    bool ok = true;
    for (const std::string& name : Instances()) {
        bool wasRunning = false;
        ok = StopService(name, &wasRunning) && ok;
        if (wasRunning) {
            noted << name << "\n";
            std::printf("%s stopped.\n", name.c_str());
        }
    }
    return ok;
}

bool Start(const std::string& file) {
    std::ifstream noted(file);
    std::string name;
    bool ok = true;
    while (std::getline(noted, name)) {
        if (name.empty()) continue;
        Check(InstanceText(name));
        ok = StartService(name) && ok;
    }
    noted.close();
    PlatformDeleteFile(file.c_str());
    return ok;
}

// The job starter an instance recorded in its state file (believed as -status believes it,
// by the account the service manager runs the instance as), looked up before the instance
// goes: its id and creation time, 0 when there is none to end.
struct RecordedJobStarter {
    std::uint32_t pid = 0;
    std::uint64_t created = 0;
    std::string serviceAccount;
    std::string what;  // its command line as recorded
};

RecordedJobStarter RecordedJobStarterOf(const std::string& name) {
    RecordedJobStarter r;
    ServiceQuery query;
    if (PlatformQueryService(name.c_str(), &query)) r.serviceAccount = query.account;
    const std::string instance = InstanceText(name);
    GetIniValues(instance);
    if (gControllerSettings.logPath[0] == '\0') return r;
    RunState state;
    std::string problem;
    bool missing = false;
    const std::string path = StateFilePath(gControllerSettings.logPath, instance.c_str());
    if (!ReadRunState(path, r.serviceAccount, &state, &problem, &missing)) {
        if (!missing) std::printf("qvlinstances: %s: %s\n", name.c_str(), problem.c_str());
        return r;
    }
    r.pid = state.jobStarterPid;
    r.created = state.jobStarterCreated;
    r.what = state.jobStarter.substr(0, state.jobStarter.find_last_not_of(' ') + 1);
    return r;
}

// Ends the recorded job starter of a removed instance while it is still that process,
// whatever account it runs under among those that may run the instance (its service's
// account above all: KILL by name ends only processes of KILL's own account, and a job
// starter under a service account would outlive its instance unsupervised).
void EndRecordedJobStarter(const std::string& name, const RecordedJobStarter& r) {
    if (r.pid == 0) return;
    PlatformProcessWatch* watch = PlatformWatchProcess(r.pid, r.created);
    if (!watch) return;  // ended already, or its id is another process's by now
    const std::string account = PlatformWatchedAccount(watch);
    if (!MayRunTheController(account, r.serviceAccount)) {
        std::printf(
            "qvlinstances: %s: process %u (%s) is left alone: it runs under account %s,"
            " which does not run this installation's controller\n",
            name.c_str(), r.pid, r.what.c_str(), account.c_str());
    } else if (PlatformEndWatched(watch)) {
        // Gone before KILL looks for the instance's job starters by name.
        bool known = false;
        std::uint32_t code = 0;
        for (int i = 0; i < 100 && !PlatformWatchedEnded(watch, &known, &code); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::printf("qvlinstances: %s: its job starter %s (process %u of account %s) ended\n",
                    name.c_str(), r.what.c_str(), r.pid, account.c_str());
    } else {
        Fail(name + ": its job starter " + r.what + " (process " + std::to_string(r.pid) +
             ") could not be ended");
    }
    PlatformCloseWatch(watch);
}

// Stops and removes each instance named, and ends its job starters: the one it recorded,
// and any other of its name (KILL's rules).
bool RemoveEach(const std::vector<std::string>& names) {
    bool ok = true;
    for (const std::string& name : names) {
        const RecordedJobStarter recorded = RecordedJobStarterOf(name);
        std::uint32_t code = 0;
        ok = Run(Controller(), {"-remove", InstanceText(name)}, &code) && code == 0 && ok;
        EndRecordedJobStarter(name, recorded);
        for (const std::string& image : AllJobStarterImages()) {
            Run(Beside(KillFileName()), {image, InstanceText(name)}, &code);
        }
    }
    return ok;
}

bool Remove(const std::string& file) {
    if (std::ifstream(file).good()) {
        std::printf("qvlinstances: an upgrade is under way (%s): the instances stay\n",
                    file.c_str());
        return true;
    }
    return RemoveEach(Instances());
}

// The instances of `list` ("3 5") this installation has: a failed or cancelled installation
// takes back those it registered (its rollback), so that none is left for a program that is
// not there.
bool Unregister(const std::string& list) {
    std::istringstream words(list);
    std::string instance;
    std::vector<std::string> names;
    const std::vector<std::string> installed = Instances();
    while (words >> instance) {
        const std::string name = NamesOfInstance(instance).service;
        for (const std::string& n : installed)
            if (n == name) names.push_back(name);
    }
    return RemoveEach(names);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && PrintVersionIfAsked("qvlinstances", argv[1])) return 0;
    char self[4096];
    if (!PlatformExecutablePath(self, sizeof self)) {
        Fail("its own path");
        return 1;
    }
    gFolder = self;
    gFolder.resize(gFolder.find_last_of("\\/") + 1);
    if (argc >= 2 && std::strcmp(argv[1], "set") == 0) {
        const bool ok = SetValues(argc - 2, argv + 2);
        std::fflush(stdout);
        return ok ? 0 : 1;
    }
    if (argc < 2 || argc > 3) return Usage();
    const std::string verb = argv[1];
    const std::string file = argc == 3 ? argv[2] : Beside("qvlinstances.restart");
    bool ok = false;
    if (verb == "install" && argc == 3) {
        ok = Install(argv[2]);
    } else if (verb == "unregister" && argc == 3) {
        ok = Unregister(argv[2]);
    } else if (verb == "stop") {
        ok = Stop(file);
    } else if (verb == "start") {
        ok = Start(file);
    } else if (verb == "remove") {
        ok = Remove(file);
    } else if (verb == "check" && argc == 2) {
        ok = true;
        for (const std::string& name : Instances())
            ok = Check(InstanceText(name)) && ok;
    } else if (verb == "list" && argc == 2) {
        for (const std::string& name : Instances())
            std::printf("%s\n", name.c_str());
        ok = true;
    } else {
        return Usage();
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
