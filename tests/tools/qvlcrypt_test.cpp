// qvlcrypt end to end: the real executable, its output and its exit codes.
#include <gtest/gtest.h>

#include <algorithm>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "support/test_support.h"

namespace {

ProcessResult Crypt(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), BuiltExecutable("qvlcrypt"));
    return RunProcess(args, input);
}

// Console output may carry CR LF on Windows; the content is what matters here.
std::string Lines(std::string s) {
    std::string out;
    for (char c : s) {
        if (c != '\r') out += c;
    }
    return out;
}

std::string Stored(const std::string& text, const char* key = "DORVALK") {
    std::vector<char> out(StoredFormChars(static_cast<int>(text.size())));
    EncryptToHex(text.c_str(), out.data(), key);
    return out.data();
}

TEST(Qvlcrypt, EncryptAndDecryptRoundTrip) {
    auto enc = Crypt({"encrypt", "MySql"});
    EXPECT_EQ(0, enc.exitCode);
    EXPECT_EQ(Stored("MySql") + "\n", Lines(enc.out));
    auto dec = Crypt({"decrypt", Stored("MySql")});
    EXPECT_EQ(0, dec.exitCode);
    EXPECT_EQ("MySql\n", Lines(dec.out));
}

TEST(Qvlcrypt, KeyOptionAndStandardInput) {
    auto enc = Crypt({"--key", "other", "encrypt", "-"}, "ORACLE\r\n");
    EXPECT_EQ(0, enc.exitCode);
    EXPECT_EQ(Stored("ORACLE", "other") + "\n", Lines(enc.out));
    auto dec = Crypt({"--key", "other", "decrypt", "-"}, Stored("ORACLE", "other") + "\n");
    EXPECT_EQ("ORACLE\n", Lines(dec.out));
}

TEST(Qvlcrypt, RecordIsReadBackByTheSettingsReader) {
    auto rec = Crypt({"record", "DB", "0", "DB_SYSTEM", "Oracle"});
    ASSERT_EQ(0, rec.exitCode) << rec.err;
    EXPECT_EQ(";DB;\n0;DB_SYSTEM;" + Stored("Oracle") + "\n", Lines(rec.out));
    TempDir dir;
    WriteFileBytes(dir / "QUARVELIN.INI", rec.out);
    ReadProtectedValue("", "DB_SYSTEM", 99, (dir / "QUARVELIN.INI").c_str());
    EXPECT_STREQ("Oracle", gProtectedRecord.value);
}

TEST(Qvlcrypt, RefusesInputItCannotUse) {
    for (const auto& bad :
         std::vector<std::string>{"", "0123456789abcdef", "0123456789ABCDE", "0123456789ABCDEG"}) {
        auto r = Crypt({"decrypt", bad});
        EXPECT_EQ(1, r.exitCode) << bad;
        EXPECT_EQ("", r.out);
        EXPECT_NE(std::string::npos, r.err.find("qvlcrypt: ")) << bad;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << "one line: " << r.err;
    }
    EXPECT_EQ(1, Crypt({"record", "S", "1", "K", "a;b"}).exitCode);
    EXPECT_EQ(1, Crypt({"record", "S", "1", "K", "a\nb"}).exitCode);
    EXPECT_EQ(1, Crypt({"record", "S;T", "1", "K", "ab"}).exitCode);
    EXPECT_EQ(1, Crypt({"record", "S", "x1", "K", "ab"}).exitCode);
    EXPECT_EQ(1, Crypt({"record", "S", "1", "K", std::string(97, 'x')}).exitCode);
    const ProcessResult longest = Crypt({"record", "S", "1", "K", std::string(96, 'x')});
    EXPECT_EQ(0, longest.exitCode) << longest.err;
}

TEST(Qvlcrypt, UsageAndHelp) {
    auto help = Crypt({"--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("usage: qvlcrypt"));
    EXPECT_EQ("", help.err);
    for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                  {"frobnicate", "x"},
                                                                  {"encrypt"},
                                                                  {"encrypt", "a", "b"},
                                                                  {"record", "a", "b", "c"},
                                                                  {"--key"}}) {
        auto r = Crypt(args);
        EXPECT_EQ(2, r.exitCode);
        EXPECT_EQ("", r.out);
        EXPECT_NE(std::string::npos, r.err.find("usage: qvlcrypt"));
    }
}

}  // namespace
