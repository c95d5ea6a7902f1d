// The settings-file lookup: record shapes, the any-of match, capacities and text-mode rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "support/test_support.h"

namespace {

std::string Stored(const std::string& text) {
    std::vector<char> out(StoredFormChars(static_cast<int>(text.size())));
    EncryptToHex(text.c_str(), out.data(), kProtectedValueKey);
    return out.data();
}

class ProtectedSettings : public ::testing::Test {
protected:
    // Writes the file and looks up (section, key, id) in it.
    const ProtectedRecord& Lookup(const std::string& content, const char* section = "",
                                  const char* key = "DB_SYSTEM", int id = 0) {
        WriteFileBytes(path_, content);
        ReadProtectedValue(section, key, id, path_.c_str());
        return gProtectedRecord;
    }
    TempDir dir_;
    std::string path_ = dir_ / "QUARVELIN.INI";
};

TEST_F(ProtectedSettings, FindsTheRequestedKeyAndDecryptsOnlyItsValue) {
    const auto& r = Lookup(";A;\n5;OTHER;" + Stored("nope") + "\n;DB;x\n9;DB_SYSTEM;" +
                           Stored("Oracle") + "\n");
    EXPECT_EQ(9, r.id);
    EXPECT_STREQ("DB", r.section);
    EXPECT_STREQ("DB_SYSTEM", r.key);
    EXPECT_STREQ("Oracle", r.value);
}

TEST_F(ProtectedSettings, MissingFileOrNoMatchLeavesTheEmptyRecord) {
    gProtectedRecord.id = 3;
    ReadProtectedValue("", "DB_SYSTEM", 0, (dir_ / "absent.ini").c_str());
    EXPECT_EQ(0, gProtectedRecord.id);
    EXPECT_STREQ("", gProtectedRecord.value);
    const auto& r = Lookup(";A;\n5;OTHER;" + Stored("x") + "\n");
    EXPECT_EQ(0, r.id);
    EXPECT_STREQ("", r.section);
    EXPECT_STREQ("", r.key);
    EXPECT_STREQ("", r.value);
}

TEST_F(ProtectedSettings, AnyOneOfSectionKeyOrIdMatchesAndTheFirstMatchWins) {
    // Matches by section although its key differs.
    EXPECT_STREQ("bysection",
                 Lookup(";S;\n5;K;" + Stored("bysection") + "\n", "S", "DB_SYSTEM", 1).value);
    // Matches by id although its key differs.
    EXPECT_STREQ("byid", Lookup(";S;\n7;K;" + Stored("byid") + "\n", "T", "DB_SYSTEM", 7).value);
    // The controller's request (empty section, id 0): a record with id 0 comes first.
    EXPECT_STREQ("first", Lookup(";A;\n0;K;" + Stored("first") + "\n;B;\n1;DB_SYSTEM;" +
                                 Stored("second") + "\n")
                              .value);
    // A first line with fewer than two ';' has an empty section, matching the empty request.
    EXPECT_STREQ("nosection", Lookup("A\n4;K;" + Stored("nosection") + "\n;B;\n1;DB_SYSTEM;" +
                                     Stored("second") + "\n")
                                  .value);
    // Id fields that are empty or no number read as 0.
    EXPECT_STREQ("emptyid", Lookup(";A;\n;K;" + Stored("emptyid") + "\n").value);
    EXPECT_STREQ("textid", Lookup(";A;\nabc;K;" + Stored("textid") + "\n").value);
    // Adjacent ';' give the rest of the line as section: no match with the empty section.
    EXPECT_STREQ(
        "later",
        Lookup(";;A\n5;K;" + Stored("x") + "\n;B;\n5;DB_SYSTEM;" + Stored("later") + "\n").value);
}

TEST_F(ProtectedSettings, IdFieldsReadAsTheRuntimeReadsANumber) {
    for (const char* id : {"007", "+7", "7abc", " 7"}) {
        EXPECT_EQ(7, Lookup(";A;\n" + std::string(id) + ";K;" + Stored("v") + "\n", "X", "Y", 7).id)
            << id;
    }
    // Longer than 11 characters: cut to 11, and saturated rather than overflowing.
    EXPECT_EQ(1234, Lookup(";A;\n00000001234567;K;" + Stored("v") + "\n", "A").id);
    EXPECT_EQ(2147483647, Lookup(";A;\n99999999999;K;" + Stored("v") + "\n", "A").id);
}

TEST_F(ProtectedSettings, SecondLineShapes) {
    // Exactly one ';': key empty, value the text after it.
    auto r = Lookup(";S;\n5;" + Stored("one") + "\n", "S");
    EXPECT_STREQ("", r.key);
    EXPECT_STREQ("one", r.value);
    // Adjacent ';': the key is the rest of the line from the second ';' on, line feed included.
    r = Lookup(";S;\n5;;rest\n", "S");
    EXPECT_STREQ(";rest\n", r.key);
    // No ';' at all: the whole line is the value; such a line has no id and never matches by it.
    r = Lookup(";S;\n" + Stored("whole") + "\n", "S");
    EXPECT_STREQ("", r.key);
    EXPECT_EQ(0, r.id);
    r = Lookup(";S;\n" + Stored("whole") + "\n", "X", "Y", 0);
    EXPECT_STREQ("", r.value) << "a line without ';' must not match by id 0";
    // The last line without its line end: the value reads as empty.
    r = Lookup(";S;\n5;K;" + Stored("cut"), "S");
    EXPECT_STREQ("K", r.key);
    EXPECT_STREQ("", r.value);
    // A first line without its second line is never examined.
    r = Lookup(";S;\n", "S");
    EXPECT_STREQ("", r.section);
}

TEST_F(ProtectedSettings, OverlongFirstLineShiftsThePairing) {
    // 250 characters: its last 51 and the line feed become the record's second line, and
    // the record that follows is read one line off.
    const std::string longFirst = ";X;" + std::string(247, 'a') + "\n";
    const auto& r = Lookup(longFirst + "0;DB_SYSTEM;" + Stored("lost") + "\n;B;\n1;DB_SYSTEM;" +
                               Stored("shifted") + "\n",
                           "NONE", "DB_SYSTEM", 99);
    // Pairs: (long head, long tail) (0;DB_SYSTEM, ;B;) (1;DB_SYSTEM;.., end) -> the second
    // pair has the "key" B and no match; nothing matches the key any more.
    EXPECT_STREQ("", r.value);
    // A first line of exactly 198 characters still pairs normally.
    const auto& ok =
        Lookup(";X;" + std::string(195, 'a') + "\n0;DB_SYSTEM;" + Stored("fits") + "\n", "NONE",
               "DB_SYSTEM", 99);
    EXPECT_STREQ("fits", ok.value);
}

TEST_F(ProtectedSettings, FieldsLongerThanTheirRoomAreCut) {
    const std::string key(300, 'k');
    const auto& r = Lookup(";S;\n5;" + key + ";" + Stored("v") + "\n", "S");
    EXPECT_EQ(std::string(200, 'k'), r.key);
    EXPECT_STREQ("v", r.value);
}

TEST_F(ProtectedSettings, TextModeRules) {
    // CR LF and LF read alike; a CR elsewhere stays in the line.
    EXPECT_STREQ("crlf", Lookup(";A;\r\n0;DB_SYSTEM;" + Stored("crlf") + "\r\n").value);
    EXPECT_STREQ("A\r", Lookup(";A\r;\n0;K;" + Stored("v") + "\n", "A\r").section);
    // Byte 26 ends the file: the record after it is never read.
    EXPECT_STREQ(
        "", Lookup(";A;\n5;K;" + Stored("v") + "\n\x1a;B;\n0;DB_SYSTEM;" + Stored("hidden") + "\n")
                .value);
    EXPECT_STREQ("", Lookup(";A;\n0;DB_SYSTEM;" + Stored("cut") + "\x1a\n").value)
        << "Ctrl+Z before the line end leaves the value without one";
}

TEST(FindCharPos, NthOccurrenceOrTheLastOrNone) {
    EXPECT_EQ(1, FindCharPos("a;b;c", ';', 1));
    EXPECT_EQ(3, FindCharPos("a;b;c", ';', 2));
    EXPECT_EQ(3, FindCharPos("a;b;c", ';', 3));
    EXPECT_EQ(-1, FindCharPos("abc", ';', 1));
    EXPECT_EQ(-1, FindCharPos("", ';', 2));
}

TEST(CopySubstring, LengthRulesAndRoom) {
    char out[8] = "keepme";
    CopySubstring("abcde", 2, 0, out, sizeof out);
    EXPECT_STREQ("cde", out);
    CopySubstring("abcde", 1, 2, out, sizeof out);
    EXPECT_STREQ("bc", out);
    CopySubstring("abcde", 1, -1, out, sizeof out);
    EXPECT_STREQ("bc", out) << "a negative length writes nothing";
    CopySubstring("abcde", 3, 50, out, sizeof out);
    EXPECT_STREQ("de", out) << "never past the text's end";
    CopySubstring("0123456789", 0, 0, out, sizeof out);
    EXPECT_STREQ("0123456", out) << "cut to the destination's room";
}

}  // namespace
