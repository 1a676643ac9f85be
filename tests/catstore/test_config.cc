// Catalog paths, user id strings, configuration files and the password scramble.
#include <gtest/gtest.h>

#include <cstring>

#include "config.h"
#include "platform/profile.h"
#include "testsupport.h"

using namespace catstore;

TEST(CatalogPath, SplitsAndDefaultsTheExtension) {
    struct Case {
        const char* pszPath;
        DBStatus expected;
        const char* pszDir;
        const char* pszBase;
        const char* pszExt;
    } aCases[] = {
        {"/data/cat", DBSuccess, "/data", "cat", "VFC"},
        {"/data/cat.vfc", DBSuccess, "/data", "cat", "vfc"},
        {"cat.Q", DBSuccess, "", "cat", "Q"},
        {"/data/cat.TAF", DBInvalidCatalogName, "", "", ""},
        {"/data/cat.ini", DBInvalidCatalogName, "", "", ""},
        {"/data/cat.d07", DBInvalidCatalogName, "", "", ""},
        {"/data/cat.K01", DBInvalidCatalogName, "", "", ""},
        {"/data/cat.dbl", DBInvalidCatalogName, "", "", ""},
        {"/data/cat.Log", DBInvalidCatalogName, "", "", ""},
        {"/data/", DBInvalidCatalogName, "", "", ""},
    };
    for (const Case& c : aCases) {
        CatalogPath path;
        EXPECT_EQ(SplitCatalogPath(c.pszPath, &path), c.expected) << c.pszPath;
        if (c.expected == DBSuccess) {
            EXPECT_EQ(path.strDir, c.pszDir) << c.pszPath;
            EXPECT_EQ(path.strBase, c.pszBase) << c.pszPath;
            EXPECT_EQ(path.strExt, c.pszExt) << c.pszPath;
        }
    }
}

TEST(CatalogPath, ConfigurationPaths) {
    EXPECT_EQ(CatalogIniPath("/d/cat.vfc"), "/d/cat.ini");
    EXPECT_EQ(CatalogIniPath("/d/cat"), "/d/cat.ini");
    EXPECT_EQ(CatalogIniPath("/d.x/cat"), "/d.x/cat.ini");
    EXPECT_EQ(CatalogIniPath("/d/cat.long"), "/d/cat.long.ini");
    EXPECT_EQ(UserIniPath("/d/cat.vfc", "annl0012"), "/d/annl0012.ini");
    EXPECT_EQ(UserIniPath("cat.vfc", "bob"), "./bob.ini");
}

TEST(UserIDString, FollowsTheNameRules) {
    struct Case {
        const char* pszName;
        uint16_t wId;
        const char* pszExpected;
    } aCases[] = {
        {"SYSTEM", 1, "system"},       {"Bob_1", 7, "bob_1"},
        {"Ann Lee", 0x12, "annl0012"}, {"verylongname", 0xABC, "very0ABC"},
        {"!!! ???", 0x12, "user0012"}, {"a.b", 0xFFFF, "abFFFF"},
        {"12345678", 3, "12345678"},   {"123456789", 3, "12340003"},
    };
    for (const Case& c : aCases) {
        EXPECT_EQ(MakeUserIDString(c.pszName, c.wId), c.pszExpected) << c.pszName;
    }
}

TEST(UserIDString, LookupFallsBackToSystem) {
    qn::test::TempDir dir;
    std::string strIni = dir.file("cat.ini");
    ASSERT_TRUE(WriteUserConfig(dir.file("cat.vfc"), strIni, "Ann Lee", "annl0012"));
    EXPECT_EQ(LookupUserIDString(strIni, "Ann Lee"), "annl0012");
    EXPECT_EQ(LookupUserIDString(strIni, "ann lee"), "annl0012");  // keys ignore case
    EXPECT_EQ(LookupUserIDString(strIni, "nobody"), "SYSTEM");
    EXPECT_FALSE(qn::test::ReadFile(dir.file("annl0012.ini")).empty());
    RemoveUserMapEntry(strIni, "Ann Lee");
    EXPECT_EQ(LookupUserIDString(strIni, "Ann Lee"), "SYSTEM");
}

TEST(Password, ScrambleIsItsOwnInverseAndKeepsSixteenBytes) {
    const char* apsz[] = {"", "a", "secret", "0123456789abcdef", "ÄÖÜ pass"};
    for (const char* psz : apsz) {
        char achStored[16];
        ASSERT_TRUE(StorePassword(psz, achStored)) << psz;
        EXPECT_EQ(LoadPassword(achStored), psz);
        EXPECT_TRUE(PasswordMatches(psz, achStored));
        EXPECT_FALSE(PasswordMatches(std::string(psz) + "x", achStored));
        if (std::strlen(psz) > 0) {
            EXPECT_NE(std::memcmp(achStored, psz, std::strlen(psz)), 0);
        }
    }
    char achStored[16];
    EXPECT_FALSE(StorePassword("0123456789abcdefg", achStored));  // 17 bytes: refused
    ASSERT_TRUE(StorePassword("0123456789abcdef", achStored));
    EXPECT_FALSE(PasswordMatches("0123456789abcdefg", achStored));
    EXPECT_FALSE(PasswordMatches("0123456789abcde", achStored));
}

TEST(Password, NoPrintableByteScramblesToZero) {
    for (int ch = 1; ch < 0xF5; ++ch) {
        for (int pos = 0; pos < 4; ++pos) {
            unsigned char ab[4] = {'x', 'x', 'x', 'x'};
            ab[pos] = static_cast<unsigned char>(ch);
            ScramblePassword(ab, 4);
            EXPECT_NE(ab[pos], 0) << ch << " at " << pos;
        }
    }
}
