// Installing, running and removing the controller as a service through the real service
// manager (Wine's, in the Windows build), and the command line around it. Where the platform
// has no service manager the operations must fail honestly, with exit status 1.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "platform/platform.h"
#include "support/installation.h"
#include "support/process_watch.h"
#include "support/test_support.h"

namespace {

constexpr unsigned kStopped = 1, kRunning = 4;
const std::string kBase = "QUARVELIN JOB CONTROLLER";

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
        exe_ = LayOutInstallation(dir_.path(), "fake_job_starter");
        ASSERT_NE("", exe_);
        // Leftovers of an earlier, interrupted run of this test.
        for (const char* instance : {"", "3", "4"})
            Run({"-remove", instance});
    }
    void TearDown() override {
        for (const char* instance : {"", "3", "4"})
            Run({"-remove", instance});
        RunProcess({BuiltExecutable("KILL"), "QVLJOBSTR_ORACLE.EXE"});
    }
    ProcessResult Run(std::vector<std::string> args) {
        if (!args.empty() && args.back().empty()) args.pop_back();
        args.insert(args.begin(), exe_);
        ProcessResult r = RunProcess(args);
        r.out = Lines(r.out);
        return r;
    }
    bool WaitForState(const std::string& name, unsigned wanted, unsigned* exitCode = nullptr,
                      unsigned* specific = nullptr) {
        unsigned state = 0, code = 0, serviceCode = 0;
        for (int i = 0; i < 300; ++i) {
            if (QueryInstalledService(name, &state, &code, &serviceCode) && state == wanted) {
                if (exitCode) *exitCode = code;
                if (specific) *specific = serviceCode;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    TempDir dir_;
    std::string exe_;
};

TEST_F(Service, WithoutAServiceManagerInstallAndRemoveFailHonestly) {
    if (HasServiceManager()) GTEST_SKIP() << "this platform has a service manager";
    auto install = Run({"-install", "3"});
    EXPECT_EQ(1, install.exitCode);
    EXPECT_TRUE(std::regex_match(install.out, std::regex("OpenSCManager failed - .+ \\(0x26\\)\n")))
        << install.out;
    EXPECT_EQ(1, Run({"-remove"}).exitCode);
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
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager on this platform yet";
    auto plain = Run({"/INSTALL"});
    EXPECT_EQ(0, plain.exitCode);
    EXPECT_EQ(kBase + " installed.\n", plain.out);
    auto three = Run({"-install", "3"});
    EXPECT_EQ(0, three.exitCode);
    EXPECT_EQ(kBase + "3 installed.\n", three.out);
    auto again = Run({"-Install", "3"});
    EXPECT_EQ(1, again.exitCode);
    EXPECT_TRUE(std::regex_match(again.out, std::regex("CreateService failed - .* \\(0x431\\)\n")))
        << again.out;

    ASSERT_TRUE(StartInstalledService("QUARVELIN_JOB_CONTROLLER3"));
    ASSERT_TRUE(WaitForState("QUARVELIN_JOB_CONTROLLER3", kRunning));
    ProcessResult ping;
    for (int i = 0; i < 100; ++i) {
        ping = RunProcess({BuiltExecutable("qvlping"), "--instance", "3", "--timeout", "2000"});
        if (ping.exitCode == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ("QVLJOBCTL.EXE Read -> [PING]\n", Lines(ping.out));
    const std::string starts = WaitForLines(dir_ / "starts.txt", 1);
    EXPECT_NE(std::string::npos, starts.find(" 3\n")) << starts;
    const std::string log = ReadFileBytes(dir_ / "QVLJOBCTL.LOG");
    EXPECT_NE(std::string::npos, log.find("Servicename     : QUARVELIN_JOB_CONTROLLER3\r\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("Pipename        : \\\\.\\pipe\\qvljobctl3\r\n")) << log;

    auto remove = Run({"-remove", "3"});
    EXPECT_EQ(0, remove.exitCode);
    EXPECT_TRUE(
        std::regex_match(remove.out, std::regex("Stopping " + kBase + "3\\.\\.*\n" + kBase +
                                                "3 stopped\\.\n" + kBase + "3 removed\\.\n")))
        << remove.out;
    unsigned state = 0, code = 0, serviceCode = 0;
    EXPECT_TRUE(QueryInstalledService("QUARVELIN_JOB_CONTROLLER", &state, &code, &serviceCode))
        << "the un-numbered service is untouched";
    const std::string after = ReadFileBytes(dir_ / "QVLJOBCTL.LOG");
    EXPECT_EQ("  ****************************************\r\n", after.substr(after.size() - 44));

    auto notRunning = Run({"-remove"});
    EXPECT_EQ(0, notRunning.exitCode);
    EXPECT_EQ(kBase + " removed.\n", notRunning.out);
    auto missing = Run({"-remove", "3"});
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_TRUE(std::regex_match(missing.out, std::regex("OpenService failed - .* \\(0x424\\)\n")))
        << missing.out;
}

TEST_F(Service, FailedStartupStopsWithAServiceSpecificCode) {
    if (!HasServiceManager()) GTEST_SKIP() << "no service manager on this platform yet";
    std::remove((dir_ / "QUARVELIN.INI").c_str());
    ASSERT_EQ(0, Run({"-install", "4"}).exitCode);
    StartInstalledService("QUARVELIN_JOB_CONTROLLER4");
    unsigned code = 0, specific = 0;
    ASSERT_TRUE(WaitForState("QUARVELIN_JOB_CONTROLLER4", kStopped, &code, &specific));
    EXPECT_EQ(1066u, code);
    EXPECT_EQ(11u, specific);
    EXPECT_NE(std::string::npos,
              ReadFileBytes(dir_ / "QVLJOBCTL.LOG").find("Error GetIniValues 11 "));
}

}  // namespace
