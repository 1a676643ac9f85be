// Preferences over the three configuration files, time conversions and log lines.
#include <cmath>

#include "catalog_fixture.h"

using namespace cstest;

TEST(TimeApi, ConversionsFollowTheDayCount) {
    EXPECT_DOUBLE_EQ(EXTimeToVBTime(0), 25569.0);
    EXPECT_EQ(EXTimeFromVBTime(25569.5), 43200);
    EXPECT_EQ(EXTimeFromVBTime(25569.0), 0);
    EXPECT_EQ(EXTimeFromVBTime(25570.25), 86400 + 21600);
    for (long l : {0L, 1L, 86399L, 86400L, 1700000000L, 2000000000L}) {
        EXPECT_NEAR(static_cast<double>(EXTimeFromVBTime(EXTimeToVBTime(l))),
                    static_cast<double>(l), 1.0)
            << l;
    }
    long lNow = EXTimeGetCurrent();
    EXPECT_GT(lNow, 1600000000L);
    // Values far outside the 32-bit range are clamped, not wrapped or undefined.
    EXPECT_EQ(EXTimeFromVBTime(1e300), 2147483647L);
    EXPECT_EQ(EXTimeFromVBTime(std::nan("")), 0);
}

TEST_F(CatalogTest, PrefsOverTheThreeFiles) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    EXPrefsSetString(hbrd, 0, "View", "Columns", "5");
    EXPrefsSetString(hbrd, 1, "View", "Columns", "7");
    EXPrefsSetString(hbrd, 2, "View", "Columns", "9");
    EXPECT_EQ(EXPrefsGetInt(hbrd, 0, "View", "Columns", -1), 5);
    EXPECT_EQ(EXPrefsGetInt(hbrd, 1, "View", "Columns", -1), 7);
    EXPECT_EQ(EXPrefsGetInt(hbrd, 2, "View", "Columns", -1), 9);
    EXPECT_EQ(EXPrefsGetInt(nullptr, 2, "View", "Columns", -1), 9);  // no catalog needed
    EXPECT_EQ(EXPrefsGetInt(nullptr, 0, "View", "Columns", -1), 0);
    EXPECT_EQ(EXPrefsGetInt(hbrd, 5, "View", "Columns", -1), -1);
    EXPECT_NE(qn::test::ReadFile(m_dir.file("system.ini")).find("Columns=5"), std::string::npos);
    EXPECT_NE(qn::test::ReadFile(m_env.file("QNCLIENT.INI")).find("Columns=9"), std::string::npos);

    EXPECT_EQ(EXPrefsGetLong(hbrd, 0, "View", "Missing", 255), 255u);
    EXPrefsSetString(hbrd, 0, "View", "Octal", "017");
    EXPrefsSetString(hbrd, 0, "View", "Hex", "0x1F");
    EXPECT_EQ(EXPrefsGetLong(hbrd, 0, "View", "Octal", 0), 15u);
    EXPECT_EQ(EXPrefsGetLong(hbrd, 0, "View", "Hex", 0), 31u);
    EXPECT_EQ(EXPrefsGetLong(nullptr, 1, "View", "Hex", 3), 0u);

    EX_STRING* h = nullptr;
    EXPrefsGetString(hbrd, 1, "View", "Columns", "def", &h);
    EXPECT_EQ(Text(h), "7");
    FreeStr(h);
    EXPrefsGetString(hbrd, 1, "View", "Nothing", "def", &h);
    EXPECT_EQ(Text(h), "def");
    FreeStr(h);
    EXPrefsGetString(nullptr, 0, "View", "Columns", "def", &h);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Text(h), "");
    FreeStr(h);
    // Any other selector names the empty file: every read gives the default, as for numbers.
    for (int32_t nWhich : {3, -1, 1000}) {
        EXPrefsGetString(hbrd, nWhich, "View", "Columns", "def", &h);
        EXPECT_EQ(Text(h), "def") << nWhich;
        FreeStr(h);
        EXPECT_EQ(EXPrefsGetLong(hbrd, nWhich, "View", "Columns", 12), 12u) << nWhich;
    }
    // A long value is cut at 1023 characters.
    std::string strLong(3000, 'a');
    EXPrefsSetString(hbrd, 0, "View", "Long", strLong.c_str());
    EXPrefsGetString(hbrd, 0, "View", "Long", "", &h);
    EXPECT_EQ(Text(h).size(), 1023u);
    FreeStr(h);
    // Null value deletes the key, null key the section.
    EXPrefsSetString(hbrd, 0, "View", "Columns", nullptr);
    EXPECT_EQ(EXPrefsGetInt(hbrd, 0, "View", "Columns", -1), -1);
    EXPrefsSetString(hbrd, 0, "View", nullptr, nullptr);
    EXPECT_EQ(EXPrefsGetLong(hbrd, 0, "View", "Hex", 4), 4u);
    EXSystemLog(hbrd, 0, "a line from the application");
    EXSystemLog(nullptr, 0x10000, nullptr);
    EXBoardClose(hbrd, &st);
}
