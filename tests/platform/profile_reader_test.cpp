// The project's INI reader. Under Wine the platform reader is the system's own
// GetPrivateProfileStringA, so the corpus test there is a differential test: every lookup
// must give the same text and count from both. Natively the two are the same code, and the
// rule tests below pin the behaviour down.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/profile_reader.h"
#include "support/test_support.h"

namespace {

struct Query {
    const char* section;
    const char* key;
    const char* def;
    unsigned room;
};

const Query kQueries[] = {
    {"JOBATR", "QVLINI", ".\\QUARVELIN.INI", 260},
    {"JOBATR", "QVLLOG", ".\\QVLJOBCTL.LOG", 260},
    {"jobatr", "qvlini", "d", 260},
    {"JOBATR", "QVLINI", "d", 4},
    {"JOBATR", "QVLINI", "d", 1},
    {"JOBATR", "A", "def  ", 260},
    {"other", "a", "", 260},
    {"", "QVLINI", "x", 260},
    {"JOBATR", "key with blanks", "d", 260},
    {"JOBATR", "Q", "d", 3},
};

// Each file is looked up with every query above.
const char* const kCorpus[] = {
    "[JOBATR]\r\nQVLINI=a.ini\r\nQVLLOG=b.log\r\n",
    "[JOBATR]\nQVLINI=a.ini\nQVLLOG=b.log\n",
    "[JOBATR]\rQVLINI=cr.ini\rQVLLOG=cr.log\r",
    "; comment\r\n[JOBATR]\r\n; QVLINI=commented\r\nQVLINI=real\r\n",
    "\r\n\r\n[JOBATR]\r\n\r\nQVLINI=after blanks\r\n\r\n",
    "QVLINI=before any section\r\n[JOBATR]\r\nQVLLOG=x\r\n",
    "[JOBATR]\r\nQVLINI=first\r\n[JOBATR]\r\nQVLINI=second\r\nQVLLOG=only in second\r\n",
    "[JOBATR]\r\nQVLINI=first\r\nQVLINI=second\r\n",
    "[jobatr]\r\nqvlini=lower\r\n",
    "[JobAtr]\r\nQvlIni=Mixed\r\n",
    "[JOBATR]\r\n  QVLINI  =  padded value  \r\n",
    "[JOBATR]\r\n\tQVLINI\t=\ttabbed\t\r\n",
    "  [JOBATR]  \r\nQVLINI=indented section\r\n",
    "[ JOBATR ]\r\nQVLINI=blanks inside brackets\r\n",
    "[JOBATR]\r\nQVLINI=\"double quoted\"\r\n",
    "[JOBATR]\r\nQVLINI='single quoted'\r\n",
    "[JOBATR]\r\nQVLINI=\"unmatched\r\n",
    "[JOBATR]\r\nQVLINI=\"mixed'\r\n",
    "[JOBATR]\r\nQVLINI=a \"quoted\" inside\r\n",
    "[JOBATR]\r\nQVLINI=\"\"\r\n",
    "[JOBATR]\r\nQVLINI=\"\r\n",
    "[JOBATR]\r\nQVLINI=  \"  spaced quotes  \"  \r\n",
    "[JOBATR]\r\nQVLINI=\r\nQVLLOG=\r\n",
    "[JOBATR]\r\nQVLINI\r\n",
    "[JOBATR]\r\nQVLINI=a=b=c\r\n",
    "[JOBATR]\r\nQVLINI=0123456789012345678901234567890123456789012345678901234567890123456789"
    "012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
    "012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
    "0123456789\r\n",
    "[JOBATR]\r\nQVLINI=no final line end",
    "[JOBATR\r\nQVLINI=section without bracket\r\n",
    "[JOBATR]\r\n[other]\r\na=in other\r\n",
    "[other]\r\nQVLINI=wrong section\r\n",
    "[JOBATR] trailing text\r\nQVLINI=after trailing text\r\n",
    "[JOBATR]\r\nkey with blanks = spaced key\r\n",
    "[JOBATR]\r\n=no name\r\nQVLINI=named\r\n",
    "",
    "[JOBATR]\r\nQ=abcdef\r\nQVLINI=x;y # not a comment\r\n",
    "[JOBATR]]\r\nQVLINI=double bracket\r\n",
    "[JOBATR]\r\nQVLINI = value with ; semicolon\r\n[other]\r\na = 'x'\r\n",
};

std::string Lookup(bool own, const std::string& path, const Query& q, unsigned* count) {
    std::vector<char> out(q.room + 8, '#');
    *count =
        own ? ProfileReadString(q.section, q.key, q.def, out.data(), q.room, path.c_str())
            : PlatformReadProfileString(q.section, q.key, q.def, out.data(), q.room, path.c_str());
    return std::string(out.data());
}

TEST(ProfileReader, SameAsThePlatformReaderOverTheCorpus) {
    TempDir dir;
    int index = 0;
    for (const char* content : kCorpus) {
        // A new name per file: the system reader caches files it has read.
        const std::string path = dir / ("corpus" + std::to_string(index++) + ".ini");
        WriteFileBytes(path, content);
        for (const Query& q : kQueries) {
            unsigned ownCount = 0, systemCount = 0;
            const std::string own = Lookup(true, path, q, &ownCount);
            const std::string system = Lookup(false, path, q, &systemCount);
            EXPECT_EQ(system, own) << "file " << index - 1 << ": " << content << "\nquery ["
                                   << q.section << "] " << q.key << " room " << q.room;
            EXPECT_EQ(systemCount, ownCount) << "file " << index - 1 << " key " << q.key;
        }
    }
    EXPECT_GE(index, 30);
}

TEST(ProfileReader, MissingFileSectionOrKeyGivesTheDefault) {
    TempDir dir;
    char out[32];
    EXPECT_EQ(4u, ProfileReadString("S", "K", "dflt", out, sizeof out, (dir / "none.ini").c_str()));
    EXPECT_STREQ("dflt", out);
    WriteFileBytes(dir / "a.ini", "[S]\nK=v\n");
    EXPECT_EQ(4u, ProfileReadString("T", "K", "dflt", out, sizeof out, (dir / "a.ini").c_str()));
    EXPECT_EQ(4u, ProfileReadString("S", "L", "dflt", out, sizeof out, (dir / "a.ini").c_str()));
    EXPECT_EQ(1u, ProfileReadString("s", "k", "dflt", out, sizeof out, (dir / "a.ini").c_str()));
    EXPECT_STREQ("v", out);
}

TEST(ProfileReader, ValuesAreTrimmedUnquotedAndCutToTheRoom) {
    TempDir dir;
    WriteFileBytes(dir / "a.ini", "[S]\n K = \"quoted value\" \nE=\nL=abcdef\n");
    char out[8];
    EXPECT_EQ(7u, ProfileReadString("S", "K", "", out, sizeof out, (dir / "a.ini").c_str()));
    EXPECT_STREQ("quoted ", out);
    EXPECT_EQ(0u, ProfileReadString("S", "E", "dflt", out, sizeof out, (dir / "a.ini").c_str()))
        << "present but empty is not missing";
    EXPECT_EQ(3u, ProfileReadString("S", "L", "", out, 4, (dir / "a.ini").c_str()));
    EXPECT_STREQ("abc", out);
}

}  // namespace
