// GetIniValues end to end: a probe executable copied into a temporary installation
// directory resolves the configuration there, as the controller would.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "support/test_support.h"

namespace {

std::string Record(const std::string& key, const std::string& text) {
    std::vector<char> out(StoredFormChars(static_cast<int>(text.size())));
    EncryptToHex(text.c_str(), out.data(), kProtectedValueKey);
    return ";DB;\r\n1;" + key + ";" + out.data() + "\r\n";
}

class Configuration : public ::testing::Test {
protected:
    void SetUp() override {
        probe_ = dir_ / ExecutableFileName("QVLJOBCTL");
        ASSERT_TRUE(CopyFileTo(BuiltExecutable("config_probe"), probe_));
    }
    void Settings(const std::string& db, const std::string& name = "QUARVELIN.INI") {
        WriteFileBytes(dir_ / name, Record("DB_SYSTEM", db));
    }
    void Ini(const std::string& body) {
        WriteFileBytes(dir_ / "QVLJOBCTL.INI", "[JOBATR]\r\n" + body);
    }
    std::map<std::string, std::string> Resolve(const std::string& instance = "") {
        std::vector<std::string> argv = {probe_};
        if (!instance.empty()) argv.push_back(instance);
        const ProcessResult r = RunProcess(argv);
        std::map<std::string, std::string> fields;
        std::istringstream in(r.out);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t eq = line.find('=');
            if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return fields;
    }
    TempDir dir_;
    std::string probe_;
};

// A numbered instance's own section overrides [JOBATR] key by key; other instances and the
// un-numbered controller read [JOBATR] alone; an empty value there means off (or refused) for
// that instance alone; and every key says the section its value came from.
TEST_F(Configuration, AnInstancesOwnSectionOverridesKeyByKey) {
    Settings("Oracle");
    WriteFileBytes(dir_ / "QVLJOBCTL.INI",
                   "[JOBATR]\r\nQVLTIMEOUT=60000\r\nQVLMETRICSDIR=prom\r\n"
                   "[JOBATR3]\r\nQVLLOG=.\\QVLJOBCTL3.LOG\r\nQVLMETRICSDIR=\r\nQVLLOGG=1\r\n"
                   "[JOBATR4]\r\nQVLTIMEOUT=\r\n");
    const struct {
        const char* instance;
        const char* result;
        const char* log;
        const char* timeout;  // with its section
        const char* metrics;
        const char* unknown;
    } rows[] = {
        {"", "0", ".\\QVLJOBCTL.LOG", "60000 [JOBATR]", "prom [JOBATR]", ""},
        {"3", "0", ".\\QVLJOBCTL3.LOG", "60000 [JOBATR]", " [JOBATR3]", "QVLLOGG"},
        {"4", "10", ".\\QVLJOBCTL.LOG", " [JOBATR4]", "prom [JOBATR]", ""},
        {"5", "0", ".\\QVLJOBCTL.LOG", "60000 [JOBATR]", "prom [JOBATR]", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("instance '") + row.instance + "'");
        auto f = Resolve(row.instance);
        EXPECT_EQ(row.result, f["result"]) << f["problem"];
        EXPECT_EQ(row.log, f["log"]);
        EXPECT_EQ(row.timeout, f["QVLTIMEOUT"]);
        EXPECT_EQ(row.metrics, f["QVLMETRICSDIR"]);
        EXPECT_EQ(row.unknown, f["unknown"]);
        EXPECT_EQ(".\\QUARVELIN.INI []", f["QVLINI"]) << "no section has it: the default";
    }
    EXPECT_NE(std::string::npos,
              Resolve("4")["problem"].find("QVLTIMEOUT in section [JOBATR4] of "));
}

TEST_F(Configuration, DefaultsWithoutAnIniFileAndTheExecutableDirectoryMadeCurrent) {
    Settings("Oracle");
    auto f = Resolve();
    EXPECT_EQ("0", f["result"]);
    EXPECT_EQ(".\\QVLJOBCTL.LOG", f["log"]);
    EXPECT_EQ(".\\QVLJOBCTL_0001.LOG", f["rotation"]);
    EXPECT_EQ("_ORACLE", f["suffix"]);
    EXPECT_TRUE(std::filesystem::equivalent(dir_.path(), f["cwd"])) << f["cwd"];
}

TEST_F(Configuration, EveryKnownSpellingOfTheDatabaseSystems) {
    const std::pair<const char*, const char*> cases[] = {
        {"oracle", "_ORACLE"},   {"Oracle", "_ORACLE"},   {"ORACLE", "_ORACLE"},
        {"mssql", "_SQLSERVER"}, {"MsSql", "_SQLSERVER"}, {"MySql", "_MYSQL"},
        {"mysql", "_MYSQL"}};
    for (const auto& c : cases) {
        Settings(c.first);
        auto f = Resolve();
        EXPECT_EQ("0", f["result"]) << c.first;
        EXPECT_EQ(c.second, f["suffix"]) << c.first;
    }
}

TEST_F(Configuration, UnknownDatabaseSystemsGiveTwelveWithTheUpperCasedText) {
    for (const char* db : {"SQLSERVER", " ORACLE", "ORACLE ", "postgres"}) {
        Settings(db);
        auto f = Resolve();
        EXPECT_EQ("12", f["result"]) << db;
        std::string upper = db;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(upper, f["suffix"]);
        EXPECT_EQ(".\\QVLJOBCTL.LOG", f["log"]) << "the paths are set so the error can be logged";
    }
}

TEST_F(Configuration, NoDatabaseSystemGivesElevenWithThePathsSet) {
    auto f = Resolve();  // no settings file at all
    EXPECT_EQ("11", f["result"]);
    EXPECT_EQ(".\\QVLJOBCTL.LOG", f["log"]);
    WriteFileBytes(dir_ / "QUARVELIN.INI", Record("OTHER", "Oracle"));
    EXPECT_EQ("11", Resolve()["result"]) << "no record matches";
    WriteFileBytes(dir_ / "QUARVELIN.INI", ";DB;\r\n1;DB_SYSTEM;");
    EXPECT_EQ("11", Resolve()["result"]) << "empty value";
    // An empty stored form followed by its line end reads as the line feed alone, which
    // decrypts to bytes that name no database system.
    Settings("");
    EXPECT_EQ("12", Resolve()["result"]);
}

// A settings file past the size bound, or one that never ends, reads as unreadable: the
// same result as a missing one, never memory or time without end.
TEST_F(Configuration, FilesThatNeverEndReadAsUnreadable) {
    std::string large;
    while (large.size() < (5u << 20))
        large += ";XX;\r\n5;OTHER;0011223344556677\r\n";  // records that never match
    WriteFileBytes(dir_ / "QUARVELIN.INI", large + Record("DB_SYSTEM", "Oracle"));
    EXPECT_EQ("11", Resolve()["result"]);
    if (ExecutableFileName("x") != "x") return;  // /dev/zero: Linux
    std::remove((dir_ / "QUARVELIN.INI").c_str());
    std::filesystem::create_symlink("/dev/zero", dir_ / "QUARVELIN.INI");
    EXPECT_EQ("11", Resolve()["result"]);
    Settings("Oracle", "DB.INI");
    std::filesystem::create_symlink("/dev/zero", dir_ / "QVLJOBCTL.INI");
    EXPECT_EQ("11", Resolve()["result"]) << "the INI's defaults: QUARVELIN.INI, /dev/zero";
}

// An empty value gives 10; the log's path is still resolved when QVLLOG itself is sound, so
// that the failure reaches the log.
TEST_F(Configuration, EmptyValuesGiveTenAndTheLogPathWhereItIsSound) {
    Settings("Oracle");
    Ini("QVLINI=\r\n");
    auto f = Resolve();
    EXPECT_EQ("10", f["result"]);
    EXPECT_EQ(".\\QVLJOBCTL.LOG", f["log"]);
    Ini("QVLLOG =  \r\n");
    f = Resolve();
    EXPECT_EQ("10", f["result"]);
    EXPECT_EQ("", f["log"]);
}

// Every key of the controller's section is in the INI the packages ship and in the guide,
// and the shipped INI, read as the controller reads it, starts and warns of no key.
TEST_F(Configuration, TheShippedIniAndTheGuideKnowEveryKey) {
    const std::string ini = ReadFileBytes(JoinPath(BinDir(), "packaged/QVLJOBCTL.INI"));
    const std::string guide = ReadFileBytes(JoinPath(BinDir(), "packaged/OPERATORS-GUIDE.md"));
    ASSERT_NE("", ini);
    for (const std::string& key : IniKeyNames()) {
        EXPECT_NE(std::string::npos, ini.find(key + "=")) << key;
        EXPECT_NE(std::string::npos, guide.find("`" + key + "`")) << key;
    }
    Settings("Oracle");
    WriteFileBytes(dir_ / "QVLJOBCTL.INI", ini);
    auto f = Resolve();
    EXPECT_EQ("0", f["result"]) << f["problem"];
    EXPECT_EQ("", f["unknown"]);
}

TEST_F(Configuration, IniPathsAreRelativeToTheExecutableDirectory) {
    std::filesystem::create_directories(dir_ / "conf");
    Settings("mysql", "conf/S.INI");
    Ini("QVLINI=conf\\S.INI\r\nQVLLOG=logs.d\\ctl\r\n");
    auto f = Resolve();
    EXPECT_EQ("0", f["result"]);
    EXPECT_EQ("_MYSQL", f["suffix"]);
    EXPECT_EQ("logs.d\\ctl", f["log"]);
    EXPECT_EQ("logs.d\\ctl_0001", f["rotation"]) << "a dot only in a directory: appended";
}

TEST_F(Configuration, RotationPathRules) {
    Settings("Oracle");
    const std::pair<const char*, const char*> cases[] = {
        {"D:\\logs\\ctl.txt", "D:\\logs\\ctl_0001.txt"},
        {"noext", "noext_0001"},
        {"a.b.log", "a.b_0001.log"},
        {"dir.x/file", "dir.x/file_0001"}};
    for (const auto& c : cases) {
        Ini(std::string("QVLLOG=") + c.first + "\r\n");
        auto f = Resolve();
        EXPECT_EQ("0", f["result"]) << c.first;
        EXPECT_EQ(c.second, f["rotation"]) << c.first;
    }
}

TEST_F(Configuration, PathsThatOutgrowTheirRoomAreRefusedNotCut) {
    Settings("Oracle");
    Ini("QVLLOG=" + std::string(254, 'l') + "\r\n");
    EXPECT_EQ("0", Resolve()["result"]) << "254 characters leave room for _0001";
    Ini("QVLLOG=" + std::string(255, 'l') + "\r\n");
    auto f = Resolve();
    EXPECT_EQ("10", f["result"]);
    EXPECT_EQ("", f["log"]);
    Ini("QVLINI=" + std::string(300, 's') + "\r\n");
    EXPECT_EQ("10", Resolve()["result"]);
}

TEST(SplitPath, PartsOfAPath) {
    PathParts p;
    ASSERT_TRUE(SplitPath("C:\\dir.d\\sub/name.tar.gz", &p));
    EXPECT_STREQ("C:", p.drive);
    EXPECT_STREQ("\\dir.d\\sub/", p.dir);
    EXPECT_STREQ("name.tar", p.fname);
    EXPECT_STREQ(".gz", p.ext);
    ASSERT_TRUE(SplitPath("unknown", &p));
    EXPECT_STREQ("", p.drive);
    EXPECT_STREQ("", p.dir);
    EXPECT_STREQ("unknown", p.fname);
    EXPECT_FALSE(SplitPath(("x\\" + std::string(256, 'n')).c_str(), &p));
    EXPECT_STREQ("", p.fname);
}

// What the packages write into an INI (a deployment's values, an instance's own log): the
// key's own line where the section has one, else after the section's last key, a missing
// section appended; comments, other sections and the file's line ends kept.
TEST(IniTextWithValue, WritesTheKeyWhereTheReaderFindsItAndKeepsTheRest) {
    struct Row {
        const char* text;
        const char* section;
        const char* key;
        const char* value;
        const char* expected;
    } rows[] = {
        {"[JOBATR]\r\nQVLINI=a\r\n;QVLTIMEOUT=300000\r\n[JOBATR3]\r\nQVLLOG=b\r\n", "JOBATR",
         "QVLTIMEOUT", "60000",
         "[JOBATR]\r\nQVLINI=a\r\nQVLTIMEOUT=60000\r\n;QVLTIMEOUT=300000\r\n[JOBATR3]\r\nQVLLOG="
         "b\r\n"},
        {"[jobatr]\n Qvltimeout = 1000\n", "JOBATR", "QVLTIMEOUT", "2000",
         "[jobatr]\nQVLTIMEOUT=2000\n"},
        {"; only comments\r\n[JOBATR]\r\n", "JOBATR", "QVLLOG", "x",
         "; only comments\r\n[JOBATR]\r\nQVLLOG=x\r\n"},
        {"[JOBATR]\nQVLLOG=a", "JOBATR3", "QVLLOG", "b",
         "[JOBATR]\nQVLLOG=a\n[JOBATR3]\nQVLLOG=b\n"},
        {"", "JOBATR", "QVLTIMEOUT", "1000", "[JOBATR]\r\nQVLTIMEOUT=1000\r\n"},
        {"[OTHER]\r\nQVLTIMEOUT=5\r\n", "JOBATR", "QVLTIMEOUT", "1000",
         "[OTHER]\r\nQVLTIMEOUT=5\r\n[JOBATR]\r\nQVLTIMEOUT=1000\r\n"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.expected, IniTextWithValue(r.text, r.section, r.key, r.value)) << r.text;
}

TEST(IniValueValid, TakesWhatTheControllerTakes) {
    struct Row {
        const char* key;
        const char* value;
        bool valid;
    } rows[] = {
        {"QVLTIMEOUT", "60000", true},
        {"qvltimeout", "1000", true},
        {"QVLTIMEOUT", "999", false},
        {"QVLTIMEOUT", "6e4", false},
        {"QVLRESTARTONEXIT", "1", true},
        {"QVLRESTARTONEXIT", "01", false},
        {"QVLADOPT", "1", true},
        {"QVLADOPT", "2", false},
        {"QVLSELFWATCH", "0", true},
        {"QVLSELFWATCH", "15000", true},
        {"QVLSELFWATCH", "14999", false},
        {"QVLSELFWATCH", "00", false},
        {"QVLMETRICSDIR", "", true},
        {"QVLLOG", "", false},
        {"QVLMETRICSDIR", "C:\\m\r\nX=1", false},
        {"QVLTIMEOUTS", "1000", false},
    };
    for (const Row& r : rows) {
        std::string why;
        EXPECT_EQ(r.valid, IniValueValid(r.key, r.value, &why)) << r.key << "=" << r.value;
        EXPECT_EQ(r.valid, why.empty()) << why;
    }
}

}  // namespace
