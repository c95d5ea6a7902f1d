// Who a process is, from the facts the platform gives about it: one row per shape a job
// starter comes in (and the shapes that only look like one), with no process at all.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "supervision/job_starter_identity.h"

namespace {

const char kImage[] = "QVLJOBSTR_ORACLE.EXE";
const std::string kScript = "/opt/suite/QVLJOBSTR_ORACLE.EXE";

// The "#!" lines of the files the rows' processes name.
const std::map<std::string, std::vector<std::string>> kScripts = {
    {kScript, {"/bin/sh", "-e"}},
    {"/opt/suite/py/QVLJOBSTR_ORACLE.EXE", {"/usr/bin/env", "-S", "python3", "-u"}},
    {"QVLJOBSTR_ORACLE.EXE", {"/bin/sh"}},  // relative: the process's own folder
};

const char kOwnAccount[] = "1000";

struct Row {
    const char* shape;
    std::string executable;
    bool commandLineKnown;
    std::vector<std::string> words;
    std::size_t depth;  // of the process's PID namespace; the asker's is 2
    bool named;
    std::string arguments;
    bool ownNamespace;
    std::string account = kOwnAccount;  // the asker's is 1000
    bool ownAccount = true;
};

TEST(JobStarterIdentity, EveryShapeOfAJobStarterIsToldFromEveryOtherProcess) {
    const Row rows[] = {
        {"a binary",
         "/opt/suite/QVLJOBSTR_ORACLE.EXE",
         true,
         {"QVLJOBSTR_ORACLE.EXE", "7"},
         2,
         true,
         "7",
         true},
        {"a binary in any letter case",
         "/opt/suite/qvljobstr_oracle.exe",
         true,
         {"qvljobstr_oracle.exe"},
         2,
         true,
         "",
         true},
        {"a link to another file",
         "/opt/suite/jobstarter-1.2",
         true,
         {"/opt/suite/QVLJOBSTR_ORACLE.EXE", "3"},
         2,
         true,
         "3",
         true},
        {"a script run by sh -e",
         "/bin/dash",
         true,
         {"/bin/sh", "-e", kScript, "7"},
         2,
         true,
         "7",
         true},
        {"a script run by env -S python3 -u",
         "/usr/bin/python3.11",
         true,
         {"/usr/bin/env", "-S python3 -u", "/opt/suite/py/QVLJOBSTR_ORACLE.EXE", "5"},
         2,
         true,
         "5",
         true},
        {"a script named relatively",
         "/bin/dash",
         true,
         {"/bin/sh", "QVLJOBSTR_ORACLE.EXE", "9"},
         2,
         true,
         "9",
         true},
        {"an editor that names the script",
         "/usr/bin/less",
         true,
         {"less", kScript},
         2,
         false,
         kScript,
         true},
        {"a script whose interpreter is another",
         "/usr/bin/perl",
         true,
         {"perl", kScript, "7"},
         2,
         false,
         kScript + " 7",
         true},
        {"another program", "/usr/bin/sleep", true, {"sleep", "1000"}, 2, false, "1000", true},
        {"a process whose arguments cannot be read (the other width)",
         "C:\\suite\\QVLJOBSTR_ORACLE.EXE",
         false,
         {},
         0,
         true,
         "",
         true},
        {"a Windows path",
         "C:\\suite\\QVLJOBSTR_ORACLE.EXE",
         true,
         {"C:\\suite\\QVLJOBSTR_ORACLE.EXE", "3"},
         0,
         true,
         "3",
         true},
        {"a container's job starter",
         "/opt/suite/QVLJOBSTR_ORACLE.EXE",
         true,
         {"QVLJOBSTR_ORACLE.EXE"},
         3,
         true,
         "",
         false},
        {"another account's process, executable unreadable",
         "",
         true,
         {"QVLJOBSTR_ORACLE.EXE", "3"},
         2,
         true,
         "3",
         true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.shape);
        ProcessFacts facts;
        facts.executablePath = r.executable;
        facts.commandLineKnown = r.commandLineKnown;
        facts.words = r.words;
        facts.namespaceDepth = r.depth;
        facts.account = r.account;
        const Identity id = IdentifyAs(facts, kImage, kOwnAccount, 2, [](const std::string& path) {
            const auto at = kScripts.find(path);
            return at == kScripts.end() ? std::vector<std::string>{} : at->second;
        });
        EXPECT_EQ(r.named, id.named);
        EXPECT_EQ(r.commandLineKnown, id.argumentsKnown);
        EXPECT_EQ(r.arguments, id.arguments);
        EXPECT_EQ(r.ownNamespace, id.ownNamespace);
        EXPECT_EQ(r.ownAccount, id.ownAccount);
    }
}

// Only a word that bears the image name is ever asked about as a script, and only of a
// process of the asker's own account: a file that another process names (a log, a device, a
// FIFO, /proc/kmsg) is never opened to find out.
TEST(JobStarterIdentity, OnlyFilesBearingTheImageNameAreOpened) {
    ProcessFacts facts;
    facts.executablePath = "/bin/cat";
    facts.commandLineKnown = true;
    facts.words = {"/bin/sh", "/proc/kmsg", "/tmp/fifo", kScript, "/dev/tty"};
    for (const std::string& account : {std::string(kOwnAccount), std::string("65534")}) {
        facts.account = account;
        std::vector<std::string> asked;
        IdentifyAs(facts, kImage, kOwnAccount, 0, [&asked](const std::string& path) {
            asked.push_back(path);
            return std::vector<std::string>{};
        });
        const std::vector<std::string> expected =
            account == kOwnAccount ? std::vector<std::string>{kScript} : std::vector<std::string>{};
        EXPECT_EQ(expected, asked) << "account " << account;
    }
}

TEST(JobStarterIdentity, TheInstanceArgumentIsAPlainNumberOfAtMostNineDigits) {
    const std::pair<const char*, long> rows[] = {
        {"7", 7},           {"12 more", 12}, {"999999999", 999999999},
        {"1234567890", -1}, {"", -1},        {"-3", -1},
        {"+3", -1},         {"3a", -1},      {"007", 7},
        {"\t", -1},
    };
    for (const auto& [arguments, instance] : rows)
        EXPECT_EQ(instance, InstanceArgument(arguments)) << "'" << arguments << "'";
}

// Whether a starting controller takes over the job starter its previous run recorded: one row
// per reason, with what the controller found of the recorded process.
TEST(TakeOverDecision, OnlyTheSameProcessOfTheAccountAndInstanceIsTakenOver) {
    Identity ours;
    ours.named = true;
    ours.argumentsKnown = true;
    ours.arguments = "3";
    Identity unnamed = ours, otherInstance = ours, otherNamespace = ours, unread = ours;
    unnamed.named = false;
    otherInstance.arguments = "4";
    otherNamespace.ownNamespace = false;
    unread.argumentsKnown = false;
    struct Row {
        const char* what;
        bool keyOn;
        std::uint32_t pid;
        bool runs, same;
        std::string account;
        Identity identity;
        TakeOver expected;
    };
    const Row rows[] = {
        {"the same process", true, 41, true, true, kOwnAccount, ours, TakeOver::kTaken},
        {"the key off", false, 41, true, true, kOwnAccount, ours, TakeOver::kKeyOff},
        {"nothing recorded", true, 0, false, false, "", ours, TakeOver::kNoRecord},
        {"ended", true, 41, false, false, "", ours, TakeOver::kEnded},
        {"its id another process's", true, 41, true, false, kOwnAccount, ours,
         TakeOver::kOtherProcess},
        {"another account's", true, 41, true, true, "65534", ours, TakeOver::kOtherAccount},
        {"an account not told", true, 41, true, true, "", ours, TakeOver::kOtherAccount},
        {"named otherwise by now", true, 41, true, true, kOwnAccount, unnamed,
         TakeOver::kNotThisInstance},
        {"another instance's", true, 41, true, true, kOwnAccount, otherInstance,
         TakeOver::kNotThisInstance},
        {"another PID namespace's", true, 41, true, true, kOwnAccount, otherNamespace,
         TakeOver::kNotThisInstance},
        {"arguments unread", true, 41, true, true, kOwnAccount, unread, TakeOver::kNotThisInstance},
    };
    for (const Row& r : rows) {
        TakeOverFacts f;
        f.keyOn = r.keyOn;
        f.pid = r.pid;
        f.runs = r.runs;
        f.sameProcess = r.same;
        f.account = r.account;
        f.ownAccount = kOwnAccount;
        f.identity = r.identity;
        f.instance = 3;
        EXPECT_EQ(static_cast<int>(r.expected), static_cast<int>(DecideTakeOver(f))) << r.what;
    }
}

}  // namespace
