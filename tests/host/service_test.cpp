// Installing, running and removing the controller as a service through the real service
// manager: Wine's in the Windows build, systemd on Linux (inside the namespace that the
// systemd fixture boots). Where there is no service manager the operations must fail
// honestly, with exit status 1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "platform/pipe_client.h"
#include "platform/processes.h"
#include "platform/service_manager.h"
#include "service/status_report.h"  // the numbering InstalledService shows states in
#include "supervision/job_starter.h"
#include "support/installation.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

const std::string kBase = "QUARVELIN JOB CONTROLLER";

// A failure message: "<call> failed - <system text> (<code>)" and its line end; `code` is
// a pattern.
bool IsFailureLine(const std::string& out, const std::string& call, const std::string& code) {
    return std::regex_match(out, std::regex(call + " failed - .+ \\(" + code + "\\)\n"));
}

// The installed line, then at most the line of a recovery setting that the service manager
// refused (Wine's keeps no failure actions); true when `out` is that.
bool IsInstalledOutput(const std::string& out, const std::string& display) {
    const std::string installed = display + " installed.\n";
    return out.compare(0, installed.size(), installed) == 0 &&
           (out.size() == installed.size() ||
            IsFailureLine(out.substr(installed.size()),
                          "ChangeServiceConfig2\\(SERVICE_CONFIG_FAILURE_ACTIONS(_FLAG)?\\)",
                          "0x[0-9a-f]+"));
}

std::string Lines(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c != '\r') out += c;
    }
    return out;
}

class Service : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_UNLESS_ISOLATED();
        exe_ = LayOutInstallation(dir_.path(), "fake_job_starter");
        ASSERT_NE("", exe_);
        RemoveTestServices();  // leftovers of an earlier, interrupted run
    }
    void TearDown() override {
        if (IsSkipped()) return;
        RemoveTestServices();
        EndStarted(dir_ / "starts.txt");
    }
    // Only where the tests own the service manager: never a machine's own services.
    void RemoveTestServices() {
        if (!HasServiceManager()) return;
        for (const char* instance : {"", "3", "4", "5", "A"})
            Run({"-remove", instance});
    }
    ProcessResult Run(std::vector<std::string> args) {
        if (!args.empty() && args.back().empty()) args.pop_back();
        args.insert(args.begin(), exe_);
        ProcessResult r = RunProcess(args);
        r.out = Lines(r.out);
        return r;
    }
    bool WaitForState(const std::string& name, unsigned wanted, InstalledService* seen) {
        for (int i = 0; i < 300; ++i) {
            if (QueryInstalledService(name, seen) && seen->state == wanted) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // systemd's restart after 1 s and its watchdog after 3 s, for this test's service alone
    // (drop-ins beside the unit, which ShortenRestartDelay(name, true) deletes).
    static bool QuickRecovery(const std::string& name) {
        if (!ShortenRestartDelay(name)) return false;
        WriteFileBytes("/etc/systemd/system/" + name + ".service.d/zz-test-watchdog.conf",
                       "[Service]\nWatchdogSec=3s\nLimitCORE=0\n");
        return RunProcess({"systemctl", "daemon-reload"}).exitCode == 0;
    }
    std::string AnsweredPing(const std::string& instance) {
        ProcessResult ping;
        for (int i = 0; i < 100; ++i) {
            ping = RunProcess(
                {BuiltExecutable("qvlping"), "--instance", instance, "--timeout", "2000"});
            if (ping.exitCode == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return Lines(ping.out);
    }
    TempDir dir_;
    std::string exe_;
};

// -status asks the service manager, never the pipe: exit 3 until the service runs.
void ExpectStatus(const ProcessResult& status, int exitCode, const std::string& service) {
    EXPECT_EQ(exitCode, status.exitCode) << status.out;
    EXPECT_TRUE(std::regex_search(status.out, std::regex("\n  service: +" + service + "\n")))
        << status.out;
}

TEST_F(Service, WithoutAServiceManagerInstallAndRemoveFailHonestly) {
    if (ServiceManagerRuns()) GTEST_SKIP() << "a service manager runs here";
    auto install = Run({"-install", "3"});
    EXPECT_EQ(1, install.exitCode);
    EXPECT_TRUE(IsFailureLine(install.out, "OpenSCManager", "0x[0-9a-f]+")) << install.out;
    // Only Linux gets here (Wine always has its service manager); "No such file or
    // directory" would not say what is wrong.
    EXPECT_NE(std::string::npos,
              install.out.find(" - the service manager (systemd) is not running on this machine ("))
        << install.out;
    EXPECT_EQ(1, Run({"-remove"}).exitCode);
    ExpectStatus(Run({"-status", "3"}), 3, "not installed");
}

TEST_F(Service, NoSwitchPrintsTheUsageAndHandsOverToTheDispatcher) {
    const std::string usage =
        "QVLJOBCTRL -install <jobctrlNr> Installiert den Quarvelin JobCtl-Dienst\n"
        "QVLJOBCTRL -remove  <jobctrlNr> Deinstalliert den Quarvelin JobCtl-Dienst\n"
        "QVLJOBCTRL -debug <params>   Startet das Programm Zur Analyse vom CMD\n"
        "\nStartServiceCtrlDispatcher wurde aufgerufen.\nBitte warten.\n";
    // Two cases only: Wine's dispatcher takes about ten seconds to give up.
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"-inst"}}) {
        auto r = Run(args);
        EXPECT_EQ(usage, r.out);
        EXPECT_EQ(1, r.exitCode) << "not started by the service manager: the hand-over fails";
    }
}

TEST_F(Service, InstallRunAndRemoveNumberedInstancesSideBySide) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager here";
    ExpectStatus(Run({"-status", "3"}), 3, "not installed");
    auto plain = Run({"/INSTALL"});
    EXPECT_EQ(0, plain.exitCode);
    EXPECT_TRUE(IsInstalledOutput(plain.out, kBase)) << plain.out;
    auto three = Run({"-install", "3"});
    EXPECT_EQ(0, three.exitCode);
    EXPECT_TRUE(IsInstalledOutput(three.out, kBase + "3")) << three.out;
    auto again = Run({"-Install", "3"});
    EXPECT_EQ(1, again.exitCode);
    EXPECT_TRUE(IsFailureLine(again.out, "CreateService", kServiceExistsCode)) << again.out;

    InstalledService seen;
    ASSERT_TRUE(QueryInstalledService("QUARVELIN_JOB_CONTROLLER3", &seen));
    EXPECT_TRUE(seen.startsAtBoot);
    ExpectStatus(Run({"-status", "3"}), 3, "stopped");
    ASSERT_TRUE(StartInstalledService("QUARVELIN_JOB_CONTROLLER3"));
    ASSERT_TRUE(WaitForState("QUARVELIN_JOB_CONTROLLER3", kServiceRunning, &seen));
    if (kSystemd) {  // the health follows once the loop runs
        EXPECT_TRUE(std::regex_match(seen.statusText,
                                     std::regex("QUARVELIN_JOB_CONTROLLER3 running(: .+)?")))
            << seen.statusText;
    }
    EXPECT_EQ("QVLJOBCTL.EXE Read -> [PING]\n", AnsweredPing("3"));
    const std::string starts = WaitForLines(dir_ / "starts.txt", 1);
    EXPECT_NE(std::string::npos, starts.find(" 3\n")) << starts;
    const std::string log = ReadFileBytes(dir_ / "QVLJOBCTL.LOG");
    EXPECT_NE(std::string::npos, log.find("Servicename     : QUARVELIN_JOB_CONTROLLER3\r\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("Pipename        : \\\\.\\pipe\\qvljobctl3\r\n")) << log;
    const ProcessResult status = Run({"-status", "3"});
    ExpectStatus(status, 0, "running, process [0-9]+");
    EXPECT_NE(std::string::npos, status.out.find("  health:      healthy\n")) << status.out;

    auto remove = Run({"-remove", "3"});
    EXPECT_EQ(0, remove.exitCode);
    EXPECT_TRUE(
        std::regex_match(remove.out, std::regex("Stopping " + kBase + "3\\.\\.*\n" + kBase +
                                                "3 stopped\\.\n" + kBase + "3 removed\\.\n")))
        << remove.out;
    InstalledService plainService;
    EXPECT_TRUE(QueryInstalledService("QUARVELIN_JOB_CONTROLLER", &plainService))
        << "the un-numbered service is untouched";
    EXPECT_EQ(kServiceStopped, plainService.state);
    const std::string after = ReadFileBytes(dir_ / "QVLJOBCTL.LOG");
    EXPECT_EQ("  ****************************************\r\n", after.substr(after.size() - 44));

    auto notRunning = Run({"-remove"});
    EXPECT_EQ(0, notRunning.exitCode);
    EXPECT_EQ(kBase + " removed.\n", notRunning.out);
    auto missing = Run({"-remove", "3"});
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_TRUE(IsFailureLine(missing.out, "OpenService", kServiceMissingCode)) << missing.out;
}

// -install also sets the service manager's recovery and registers the event source with
// the executable's texts; -remove deletes the registration. A killed controller is started
// again; a stopped or removed one is not.
TEST_F(Service, InstallSetsRecoveryAndTheEventSource) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager here";
    const std::string name = "QUARVELIN_JOB_CONTROLLER3";
    const auto install = Run({"-install", "3"});
    EXPECT_EQ(0, install.exitCode) << install.out;
    ASSERT_TRUE(IsInstalledOutput(install.out, kBase + "3")) << install.out;
    InstalledService seen;
    ASSERT_TRUE(QueryInstalledService(name, &seen));
    if (install.out == kBase + "3 installed.\n") {
        EXPECT_TRUE(seen.restartsAfterFailure) << "every recovery setting was accepted";
    }
    std::string file;
    if (!kSystemd) {
        ASSERT_TRUE(EventSourceMessageFile(name, &file));
        EXPECT_EQ(exe_, file);
        EXPECT_EQ("QUARVELIN_JOB_CONTROLLER3 error: 231\r\nThe pipe failed\r\n",
                  ModuleMessageText(file, 0,
                                    {"QUARVELIN_JOB_CONTROLLER3 error: 231", "The pipe failed"}));
    }
    if (ShortenRestartDelay(name)) {
        ASSERT_TRUE(StartInstalledService(name));
        ASSERT_TRUE(WaitForState(name, kServiceRunning, &seen));
        const unsigned killed = seen.pid;
        EXPECT_TRUE(PlatformTerminateProcess(killed));
        for (int i = 0; i < 150 && !(seen.state == kServiceRunning && seen.pid != killed); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            QueryInstalledService(name, &seen);
        }
        EXPECT_EQ(kServiceRunning, seen.state);
        EXPECT_NE(killed, seen.pid) << "started again after it was killed";
        ASSERT_TRUE(StopInstalledService(name));
        ASSERT_TRUE(WaitForState(name, kServiceStopped, &seen));
        std::this_thread::sleep_for(std::chrono::seconds(3));
        ASSERT_TRUE(QueryInstalledService(name, &seen));
        EXPECT_EQ(kServiceStopped, seen.state) << "a clean stop is never followed by a restart";
        ASSERT_TRUE(StartInstalledService(name));
        ASSERT_TRUE(WaitForState(name, kServiceRunning, &seen));
    }
    EXPECT_EQ(0, Run({"-remove", "3"}).exitCode);
    ShortenRestartDelay(name, true);
    std::this_thread::sleep_for(std::chrono::seconds(kSystemd ? 3 : 0));
    EXPECT_FALSE(QueryInstalledService(name, &seen)) << "not started again after -remove";
    EXPECT_FALSE(EventSourceMessageFile(name, &file));
}

// Only a plain number is installed; any text is still removed (installations made before).
TEST_F(Service, InstallTakesOnlyAPlainInstanceNumber) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager here";
    for (const std::string text : {"03", "A", "3a", "-3", " 3", "1000000000"}) {
        auto r = Run({"-install", text});
        EXPECT_EQ(1, r.exitCode) << text;
        EXPECT_EQ("Invalid instance '" + text +
                      "': an instance is a number from 1 to 999999999, "
                      "written without sign, blanks or leading zero.\n",
                  r.out);
        InstalledService seen;
        EXPECT_FALSE(QueryInstalledService("QUARVELIN_JOB_CONTROLLER" + text, &seen)) << text;
    }
    PlatformServiceManager* manager = PlatformOpenServiceManager();
    ASSERT_NE(nullptr, manager);
    RecoveryFailure recovery;
    PlatformService* old = PlatformInstallService(
        manager,
        {"QUARVELIN_JOB_CONTROLLERA", "QUARVELIN JOB CONTROLLERA", exe_.c_str(), 60000, 3, 86400},
        &recovery);
    ASSERT_NE(nullptr, old);
    PlatformCloseService(old);
    PlatformCloseServiceManager(manager);
    auto remove = Run({"-remove", "A"});
    EXPECT_EQ(0, remove.exitCode) << remove.out;
    EXPECT_EQ(kBase + "A removed.\n", remove.out);
}

TEST_F(Service, InstallWithoutAdministratorRightsFailsWithAccessDenied) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager here";
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::all,
                                 std::filesystem::perm_options::add);
    ProcessResult r;
    if (!RunWithoutAdministratorRights({exe_, "-install", "3"}, &r)) {
        GTEST_SKIP() << "everyone is an administrator here";
    }
    EXPECT_EQ(1, r.exitCode);
    EXPECT_TRUE(IsFailureLine(Lines(r.out), "OpenSCManager", kAccessDeniedCode)) << r.out;
    if (kSystemd) {  // the system's "Permission denied" would not say what to do
        EXPECT_NE(std::string::npos,
                  r.out.find(" - root is needed to install or remove a service ("))
            << r.out;
    }
    InstalledService seen;
    EXPECT_FALSE(QueryInstalledService("QUARVELIN_JOB_CONTROLLER3", &seen)) << "nothing installed";
}

TEST_F(Service, AnInstallationWhosePathHasBlanksAndSpecialCharactersRuns) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager here";
    // A unit file would read these as argument breaks, %-sequences and variables; Windows'
    // service manager would try an unquoted path word by word.
    const std::string odd = dir_ / "odd dir 50% $HOME";
    ASSERT_TRUE(std::filesystem::create_directory(odd));
    const std::string exe = LayOutInstallation(odd, "fake_job_starter");
    ASSERT_NE("", exe);
    ASSERT_EQ(0, RunProcess({exe, "-install", "4"}).exitCode);
    ASSERT_TRUE(StartInstalledService("QUARVELIN_JOB_CONTROLLER4"));
    InstalledService seen;
    ASSERT_TRUE(WaitForState("QUARVELIN_JOB_CONTROLLER4", kServiceRunning, &seen));
    if (!kSystemd) {
        EXPECT_EQ('"', seen.command.front()) << seen.command;
        EXPECT_EQ('"', seen.command.back()) << seen.command;
    }
    // Running is reported before the banner is written: the line is waited for.
    std::string log;
    for (int i = 0; i < 100 && log.find("Servicename     : QUARVELIN_JOB_CONTROLLER4\r\n") ==
                                   std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        log = ReadFileBytes(JoinPath(odd, "QVLJOBCTL.LOG"));
    }
    EXPECT_NE(std::string::npos, log.find("Servicename     : QUARVELIN_JOB_CONTROLLER4\r\n"));
    EXPECT_EQ(0, RunProcess({exe, "-remove", "4"}).exitCode);
}

TEST_F(Service, FailedStartupStopsWithTheConfigurationResult) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager here";
    std::remove((dir_ / "QUARVELIN.INI").c_str());
    ASSERT_EQ(0, Run({"-install", "4"}).exitCode);
    StartInstalledService("QUARVELIN_JOB_CONTROLLER4");
    InstalledService seen;
    // systemd shows the start as failed at once; Wine's manager reports stopped at the end.
    for (int i = 0; i < 300 && QueryInstalledService("QUARVELIN_JOB_CONTROLLER4", &seen) &&
                    (seen.state != kServiceStopped || (seen.exitCode == 0 && i < 20));
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(kServiceStopped, seen.state);
    if (!kSystemd) {
        EXPECT_EQ(1066u, seen.exitCode);
        EXPECT_EQ(11u, seen.specificCode);
    } else {
        EXPECT_EQ(11u, seen.exitCode) << "the unit fails with the configuration result";
    }
    EXPECT_NE(std::string::npos,
              ReadFileBytes(dir_ / "QVLJOBCTL.LOG").find("Error GetIniValues 11 "));
}

TEST_F(Service, StopThroughTheServiceManagerEndsTheRunWithItsEndBanner) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager here";
    ASSERT_EQ(0, Run({"-install", "5"}).exitCode);
    ASSERT_TRUE(StartInstalledService("QUARVELIN_JOB_CONTROLLER5"));
    InstalledService seen;
    ASSERT_TRUE(WaitForState("QUARVELIN_JOB_CONTROLLER5", kServiceRunning, &seen));
    EXPECT_EQ("QVLJOBCTL.EXE Read -> [PING]\n", AnsweredPing("5"));
    ASSERT_TRUE(StopInstalledService("QUARVELIN_JOB_CONTROLLER5"));
    ASSERT_TRUE(WaitForState("QUARVELIN_JOB_CONTROLLER5", kServiceStopped, &seen));
    EXPECT_EQ(0u, seen.exitCode) << "a stop is no failure";
    const std::vector<std::string> texts = LogTexts(dir_ / "QVLJOBCTL.LOG");
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ("** Service QVLJOBCTL wurde beendet    **", texts[texts.size() - 2]);
    EXPECT_EQ("****************************************", texts.back());
    // Started twice more: each run ends what the one before left, so one job starter runs.
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(StartInstalledService("QUARVELIN_JOB_CONTROLLER5"));
        ASSERT_TRUE(WaitForState("QUARVELIN_JOB_CONTROLLER5", kServiceRunning, &seen));
        EXPECT_EQ("QVLJOBCTL.EXE Read -> [PING]\n", AnsweredPing("5"));
        ASSERT_TRUE(StopInstalledService("QUARVELIN_JOB_CONTROLLER5"));
        ASSERT_TRUE(WaitForState("QUARVELIN_JOB_CONTROLLER5", kServiceStopped, &seen));
    }
    EXPECT_EQ(1u, RunningJobStarters("QVLJOBSTR_ORACLE.EXE", 5).size());

    if (kSystemd) {
        // systemd sends its stop request at once, even while the service is starting (when
        // Windows would refuse it): it must end the run as cleanly, whenever it arrives. One
        // that comes before the process could take SIGTERM ends it before its run began,
        // which systemd counts as clean too.
        for (int round = 0; round < 3; ++round) {
            ASSERT_TRUE(StartInstalledService("QUARVELIN_JOB_CONTROLLER5"));
            ASSERT_TRUE(StopInstalledService("QUARVELIN_JOB_CONTROLLER5"));
            ASSERT_TRUE(WaitForState("QUARVELIN_JOB_CONTROLLER5", kServiceStopped, &seen));
            EXPECT_FALSE(seen.failed) << "exit status " << seen.exitCode;
            EXPECT_EQ("****************************************",
                      LogTexts(dir_ / "QVLJOBCTL.LOG").back());
        }
    }
    EXPECT_EQ(kBase + "5 removed.\n", Run({"-remove", "5"}).out) << "stopped: no stop lines";
}

// systemd's watchdog hears the loop's refreshes, with the health as the status it shows: a
// controller frozen by SIGSTOP is ended by it and started again. The unit as installed has
// the product's watchdog; the test's drop-in shortens it to 3 s and the restart to 1 s.
TEST_F(Service, AFrozenControllerIsRestartedByTheWatchdog) {
    if (!kSystemd || !HasServiceManager()) GTEST_SKIP() << "systemd's watchdog";
    const std::string name = "QUARVELIN_JOB_CONTROLLER3";
    ASSERT_EQ(0, Run({"-install", "3"}).exitCode);
    const std::string unit = ReadFileBytes("/etc/systemd/system/" + name + ".service");
    for (const char* line : {"\nWatchdogSec=25s\n", "\nRestartSec=2s\n",
                             "\nStartLimitIntervalSec=600s\n", "\nStartLimitBurst=6\n"})
        EXPECT_NE(std::string::npos, unit.find(line)) << unit;
    EXPECT_NE(std::string::npos, unit.find("\nStandardOutput=null\n")) << unit;
    ASSERT_TRUE(QuickRecovery(name));
    ASSERT_TRUE(StartInstalledService(name));
    InstalledService seen;
    for (int i = 0; i < 100 && seen.statusText != name + " running: healthy"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        QueryInstalledService(name, &seen);
    }
    EXPECT_EQ(name + " running: healthy", seen.statusText);
    const unsigned frozen = seen.pid;
    // A controller whose loop runs is heard: past the watchdog's interval it still runs.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    QueryInstalledService(name, &seen);
    ASSERT_EQ(frozen, seen.pid) << "ended by the watchdog while its loop ran";
    ASSERT_EQ(0, RunProcess({"/bin/kill", "-STOP", std::to_string(frozen)}).exitCode);
    // The watchdog's 3 s, the restart's 1 s, and a little.
    for (int i = 0; i < 150 && !(seen.state == kServiceRunning && seen.pid != frozen); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        QueryInstalledService(name, &seen);
    }
    EXPECT_EQ(kServiceRunning, seen.state);
    EXPECT_NE(frozen, seen.pid) << "the frozen controller was not restarted";
    EXPECT_EQ(0, Run({"-remove", "3"}).exitCode);
    ShortenRestartDelay(name, true);
}

// The longest time one of the job starter's heartbeats went unanswered while `act` ran and
// until a controller answered again: a client heartbeating every 50 ms, each given 300 ms.
long long LongestSilenceMs(const std::string& pipe, const std::function<void()>& act) {
    using Clock = std::chrono::steady_clock;
    std::atomic<bool> acting{true};
    long long longest = 0;
    std::thread pinger([&] {
        auto last = Clock::now();
        bool answeredSinceAct = false;
        while (acting || !answeredSinceAct) {
            char reply[80];
            std::size_t got = 0;
            const bool answered =
                PlatformPipeTransact(pipe.c_str(), "BEAT", 5, reply, sizeof reply, &got, 300) == 0;
            const auto now = Clock::now();
            if (answered) {
                longest = std::max<long long>(
                    longest,
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count());
                last = now;
                answeredSinceAct = !acting;
            }
            if (now - last > std::chrono::seconds(120)) break;  // never answered again
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    act();
    acting = false;
    pinger.join();
    return longest;
}

// With QVLADOPT=1 the job starter outlives every restart of its controller: a stop and a
// start (systemctl restart), and under systemd a SIGKILL followed by the manager's restart and
// the watchdog's restart of a frozen controller. The same job starter runs on, each new run
// took it over, and the downtime (the longest a heartbeat went unanswered) is printed.
TEST_F(Service, WithTheKeyTheJobStarterOutlivesItsControllersRestarts) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager here";
    const std::string name = "QUARVELIN_JOB_CONTROLLER4", pipe = "\\\\.\\pipe\\qvljobctl4";
    WriteFileBytes(dir_ / "QVLJOBCTL.INI", "[JOBATR]\r\nQVLADOPT=1\r\n");
    WriteFileBytes(dir_ / "lifetime.txt", "600000 0");  // the job starter lives 10 minutes
    ASSERT_EQ(0, Run({"-install", "4"}).exitCode);
    if (kSystemd) {
        ASSERT_TRUE(QuickRecovery(name));
    }
    ASSERT_TRUE(StartInstalledService(name));
    InstalledService seen;
    ASSERT_TRUE(WaitForState(name, kServiceRunning, &seen));
    ASSERT_NE("", AnsweredPing("4"));
    const std::string job = WaitForLines(dir_ / "starts.txt", 1);
    const std::uint32_t jobPid = static_cast<std::uint32_t>(std::stoul(job));
    struct Row {
        const char* what;
        bool systemdOnly;
        std::function<void(unsigned controller)> act;
    };
    const auto waitForAnother = [&](unsigned controller) {
        for (int i = 0; i < 600; ++i) {
            if (QueryInstalledService(name, &seen) && seen.state == kServiceRunning &&
                seen.pid != 0 && seen.pid != controller)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    };
    const Row rows[] = {
        {"a stop and a start", false,
         [&](unsigned) {
             StopInstalledService(name);
             WaitForState(name, kServiceStopped, &seen);
             StartInstalledService(name);
             WaitForState(name, kServiceRunning, &seen);
         }},
        {"SIGKILL and the manager's restart", true,
         [&](unsigned controller) {
             RunProcess({"/bin/kill", "-KILL", std::to_string(controller)});
             waitForAnother(controller);
         }},
        {"the watchdog's restart of a frozen controller", true,
         [&](unsigned controller) {
             RunProcess({"/bin/kill", "-STOP", std::to_string(controller)});
             waitForAnother(controller);
         }},
    };
    int takenOver = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.systemdOnly && !kSystemd) continue;
        ASSERT_TRUE(QueryInstalledService(name, &seen));
        const unsigned controller = seen.pid;
        const long long downtime = LongestSilenceMs(pipe, [&] { r.act(controller); });
        std::printf("%s: the job starter's heartbeats went unanswered for at most %lld ms\n",
                    r.what, downtime);
        ++takenOver;
        const std::string log = ReadFileBytes(dir_ / "QVLJOBCTL.LOG");
        std::size_t count = 0;
        for (std::size_t at = log.find("took over its job starter"); at != std::string::npos;
             at = log.find("took over its job starter", at + 1))
            ++count;
        EXPECT_EQ(static_cast<std::size_t>(takenOver), count) << log;
        EXPECT_NE(std::string::npos, log.find("(process " + std::to_string(jobPid) + ")")) << log;
        EXPECT_TRUE(ProcessRuns(jobPid)) << "the job starter was ended";
        EXPECT_EQ(job, ReadFileBytes(dir_ / "starts.txt")) << "another job starter was started";
    }
    EXPECT_EQ(0, Run({"-remove", "4"}).exitCode);
    if (kSystemd) ShortenRestartDelay(name, true);
}

// A controller that fails at every start (a refused INI value) is restarted five times, 2 s
// apart, then left failed (systemd's start limit; its journal says "Start request repeated too
// quickly"), and each start's log says why it failed.
TEST_F(Service, AControllerThatFailsAtEveryStartIsLeftStopped) {
    if (!kSystemd || !HasServiceManager()) GTEST_SKIP() << "systemd's start limit";
    const std::string name = "QUARVELIN_JOB_CONTROLLER5";
    WriteFileBytes(dir_ / "QVLJOBCTL.INI", "[JOBATR]\r\nQVLTIMEOUT=5\r\n");
    ASSERT_EQ(0, Run({"-install", "5"}).exitCode);
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(StartInstalledService(name));
    const auto show = [&name](const char* property) {
        return RunProcess(
                   {"systemctl", "show", std::string("--property=") + property, "--value", name})
            .out;
    };
    const auto starts = [this] {
        std::size_t n = 0;
        const std::string log = ReadFileBytes(dir_ / "QVLJOBCTL.LOG");
        for (std::size_t at = log.find("is not a whole number of milliseconds");
             at != std::string::npos;
             at = log.find("is not a whole number of milliseconds", at + 1))
            ++n;
        return n;
    };
    for (int i = 0; i < 300 && !(starts() >= 6 && show("SubState") == "failed\n"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto took =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin)
            .count();
    std::this_thread::sleep_for(std::chrono::seconds(4));  // and no further start follows
    std::printf("a controller failing at every start: %zu starts in %lld s, then left failed\n",
                starts(), static_cast<long long>(took));
    EXPECT_EQ(6u, starts()) << "the first start and five restarts, each saying why: "
                            << ReadFileBytes(dir_ / "QVLJOBCTL.LOG");
    EXPECT_EQ("failed\n", show("SubState"));
    EXPECT_EQ(0, Run({"-remove", "5"}).exitCode);
}

// A restart for silence reaches the system's log: on Linux the journal, with fields of its
// own, found by its MESSAGE_ID (the usage lines of a start by systemd do not get there); on
// Windows the event log as a warning of the message table, which under Wine only its debug
// channel shows (event_log_test reads it there).
TEST_F(Service, ARestartReachesTheSystemsLog) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager here";
    const std::string name = "QUARVELIN_JOB_CONTROLLER5";
    WriteFileBytes(dir_ / "QVLJOBCTL.INI", "[JOBATR]\r\nQVLTIMEOUT=1000\r\n");
    ASSERT_EQ(0, Run({"-install", "5"}).exitCode);
    ASSERT_TRUE(StartInstalledService(name));
    const std::string starts = WaitForLines(dir_ / "starts.txt", 2, 30000);
    const std::size_t line = starts.find('\n') + 1;
    const std::string first = starts.substr(0, starts.find(' '));
    const std::string second = starts.substr(line, starts.find(' ', line) - line);
    const bool journal =
        kSystemd && RunProcess({"systemctl", "is-active", "systemd-journald"}).exitCode == 0;
    std::string entry;
    for (int i = 0; journal && i < 100 && entry.empty(); ++i) {
        entry = RunProcess({"journalctl", "--no-pager", "-o", "json",
                            "MESSAGE_ID=55e7eb5da81446dca54fd9b1f627a7fe",
                            "_SYSTEMD_UNIT=" + name + ".service"})
                    .out;
        if (entry.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(0, Run({"-remove", "5"}).exitCode);
    if (!journal) GTEST_SKIP() << "no journal runs here: the restart's entry is not read back";
    entry = entry.substr(0, entry.find('\n'));  // the first restart's
    for (const std::string& field :
         {"\"QVL_SERVICE\":\"" + name + "\"", std::string("\"QVL_INSTANCE\":\"5\""),
          std::string("\"QVL_CAUSE\":\"silence\""), "\"QVL_JOB_STARTER_PID\":\"" + first + "\"",
          "\"QVL_NEW_JOB_STARTER_PID\":\"" + second + "\"", std::string("\"PRIORITY\":\"4\""),
          "\"MESSAGE\":\"" + name +
              " restarted its job starter QVLJOBSTR_ORACLE.EXE after no heartbeat for 1000 ms. "
              "The old process " +
              first + " (exit code unknown) is gone; the new one is process " + second + ".\""}) {
        EXPECT_NE(std::string::npos, entry.find(field)) << field << "\n" << entry;
    }
    const std::string all =
        RunProcess({"journalctl", "--no-pager", "-o", "cat", "-u", name + ".service"}).out;
    EXPECT_EQ(std::string::npos, all.find("StartServiceCtrlDispatcher")) << all;
}

// The controller under an account of the operator's choice (Linux: User= in a drop-in, the
// log's folder that account's; Windows: the service's account), as the guide says: -check
// judges the folders for that account, the instance is healthy and believed by -status, and
// (Linux, where SIGSTOP silences it) a job starter that falls silent is restarted.
TEST_F(Service, AnInstanceRunsAsAServiceAccount) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager";
    const std::string name = "QUARVELIN_JOB_CONTROLLER4";
    const std::string logs = dir_ / "logs";
    ASSERT_TRUE(MakeDirectory(logs));
    if (kSystemd) {
        ASSERT_EQ(0, RunProcess({"/bin/chmod", "755", dir_.path()}).exitCode);
        ASSERT_EQ(0, RunProcess({"/bin/chown", "nobody", logs}).exitCode);
    }
    ASSERT_TRUE(CopyFileTo(BuiltExecutable("qvljobstr_sample"), dir_ / "QVLJOBSTR_ORACLE.EXE"));
    WriteFileBytes(dir_ / "QVLJOBCTL.INI", "[JOBATR]\r\nQVLTIMEOUT=3000\r\nQVLLOG=" + logs +
                                               (kSystemd ? "/" : "\\") + "QVLJOBCTL.LOG\r\n");
    ASSERT_EQ(0, Run({"-install", "4"}).exitCode);
    const std::string account = RunServiceUnderAccount(name, "QVLJOBSTR_EVERY=1");
    ASSERT_NE("", account);
    if (kSystemd) {
        // A settings file only root may read: -check says the instance cannot start (before:
        // "can start", and the start failed with exit 11).
        const std::string settings = dir_ / "QUARVELIN.INI";
        ASSERT_EQ(0, RunProcess({"/bin/chmod", "600", settings}).exitCode);
        const ProcessResult refused = Run({"-check", "4"});
        RunProcess({"/bin/chmod", "644", settings});
        EXPECT_EQ(1, refused.exitCode) << refused.out;
        EXPECT_NE(std::string::npos, refused.out.find("QUARVELIN.INI (in " + dir_.path() +
                                                      "/) cannot be read by "
                                                      "account " +
                                                      account + ": its mode 0600"))
            << refused.out;
    }
    // Where the system cannot judge another account's access list (Wine), -check says so as
    // a warning; it never claims a right it did not check.
    const ProcessResult check = Run({"-check", "4"});
    EXPECT_EQ(0, check.exitCode) << check.out;
    EXPECT_NE(std::string::npos,
              check.out.find(SystemJudgesAccountRights()
                                 ? " can be written by account " + account
                                 : "cannot judge its access list for account " + account))
        << check.out;
    ASSERT_TRUE(StartInstalledService(name));
    ProcessResult status;
    for (int i = 0; i < 100 && status.exitCode != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        status = Run({"-status", "4"});
    }
    EXPECT_EQ(0, status.exitCode) << status.out;
    if (kSystemd) {
        // Without QVLJOBOUT the job starter's output reaches the journal under the instance's
        // name (before: nowhere, as the unit's own output).
        std::string journal;
        for (int i = 0; i < 50 && journal.find("Read -> [JOBSTARTER") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            journal = RunProcess({"journalctl", "--no-pager", "-o", "cat", "-t", name}).out;
        }
        EXPECT_NE(std::string::npos, journal.find("QVLJOBCTL.EXE Read -> [JOBSTARTER")) << journal;
    }
    if (kSystemd) {
        // The job starter falls silent: restarted by the controller under its account.
        const std::string state = ReadFileBytes(logs + "/QVLJOBCTL4.STATE");
        const std::size_t at = state.find("\njob_starter_pid=");
        ASSERT_NE(std::string::npos, at) << state;
        const std::string silent = state.substr(at + 17, state.find('\n', at + 1) - at - 17);
        ASSERT_EQ(0, RunProcess({"/bin/kill", "-STOP", silent}).exitCode);
        std::string log;
        for (int i = 0; i < 100 && log.find("antwortet nicht") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            log = ReadFileBytes(logs + "/QVLJOBCTL.LOG");
        }
        EXPECT_NE(std::string::npos, log.find("Prozess KILL " + silent + "@")) << log;
        EXPECT_NE(std::string::npos, log.find("antwortet nicht")) << log;
    }
    EXPECT_EQ(0, Run({"-remove", "4"}).exitCode);
    if (kSystemd) std::filesystem::remove_all("/etc/systemd/system/" + name + ".service.d");
    for (const FoundProcess& p : RunningJobStarters("QVLJOBSTR_ORACLE.EXE", 4))
        PlatformTerminateProcess(p.pid);
}

}  // namespace
