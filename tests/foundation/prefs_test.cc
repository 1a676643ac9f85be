#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/prefs.h"
#include "foundation/syslog.h"
#include "platform/userstore.h"
#include "qnplatform.h"
#include "testsupport.h"

namespace us = qn::platform::userstore;

namespace {
constexpr const char* kIni = "QNCLIENT.INI";

void StoreString(const char* pszSection, const char* pszKey, const char* pszValue) {
    QNPrefSetString(pszSection, pszKey, pszValue, kIni);
}
}  // namespace

TEST(Prefs, KeyPathFollowsTheProductName) {
    EXPECT_EQ(QNPrefKeyPath("SystemLog"), "Software\\Quillon\\Zelto Bookmarks\\SystemLog");
    QNSetProductName("Vossa Hub");
    EXPECT_EQ(QNPrefKeyPath("DBTuning"), "Software\\Quillon\\Vossa Hub\\DBTuning");
    QNSetProductName(nullptr);
}

TEST(Prefs, NumbersFromNumbersAndFromStrings) {
    qn::test::IsolatedEnvironment env;
    struct Case {
        const char* stored;
        uint32_t expected;
    };
    const Case cases[] = {
        {"0x10", 16},
        {"abc", 0},
        {"42", 42},
        {"010", 8},
        {"0", 0},
        {"0xffffffff", 0xFFFFFFFFu},
        {"4294967295", 0xFFFFFFFFu},
        {"4294967296", 777},
        {"0x100000000", 777},
        {"  12", 12},
        {"12abc", 12},
        {"", 0},
        {"09", 0},
        {"-5", 0},
    };
    for (const Case& c : cases) {
        StoreString("S", "v", c.stored);
        EXPECT_EQ(QNPrefGetNumber("S", "v", 777, kIni), c.expected) << '"' << c.stored << '"';
    }
    QNPrefSetNumber("S", "n", 123456, kIni);
    EXPECT_EQ(QNPrefGetNumber("S", "n", 1, kIni), 123456u);
    EXPECT_EQ(QNPrefGetNumber("S", "absent", 9, kIni), 9u);
    EXPECT_EQ(QNPrefGetNumber("Absent", "absent", 9, kIni), 9u);
}

TEST(Prefs, StringsDefaultsAndCapacity) {
    qn::test::IsolatedEnvironment env;
    char buf[16];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(QNPrefGetString("S", "absent", nullptr, buf, sizeof buf, kIni), 0u);
    EXPECT_EQ(buf[0], '#') << "no default: the buffer is untouched";
    EXPECT_EQ(QNPrefGetString("S", "absent", "dflt", buf, sizeof buf, kIni), 4u);
    EXPECT_STREQ(buf, "dflt");

    StoreString("S", "Last", "/home/u/catalog.vfc");
    EXPECT_EQ(QNPrefGetString("s", "last", nullptr, buf, sizeof buf, kIni), 15u) << "cut to fit";
    EXPECT_STREQ(buf, "/home/u/catalog");
    char big[64];
    EXPECT_EQ(QNPrefGetString("S", "Last", nullptr, big, sizeof big, kIni), 19u);
    EXPECT_STREQ(big, "/home/u/catalog.vfc");

    QNPrefSetNumber("S", "Num", 5, kIni);
    EXPECT_EQ(QNPrefGetString("S", "Num", "d", big, sizeof big, kIni), 1u)
        << "a number asked for as a string delivers the default";
    EXPECT_STREQ(big, "d");

    EXPECT_EQ(QNPrefSetString("S", "Last", nullptr, kIni), 1);
    EXPECT_EQ(QNPrefGetString("S", "Last", "gone", big, sizeof big, kIni), 4u);
    EXPECT_STREQ(big, "gone");
    EXPECT_EQ(QNPrefSetString("S", "Last", nullptr, kIni), 1) << "deleting twice is fine";
}

TEST(Prefs, ListingASection) {
    qn::test::IsolatedEnvironment env;
    char buf[32];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(QNPrefGetString("Empty", nullptr, nullptr, buf, sizeof buf, kIni), 0u);
    EXPECT_EQ(buf[0], '\0') << "an empty list";
    StoreString("L", "first", "1");
    StoreString("L", "second", "2");
    StoreString("L", "third", "3");
    EXPECT_EQ(QNPrefGetString("L", nullptr, nullptr, buf, sizeof buf, kIni), 19u);
    EXPECT_EQ(std::string(buf, 20), std::string("first\0second\0third\0\0", 20));
    // Only whole names fit; the list still ends with its extra NUL.
    char small[15];
    EXPECT_EQ(QNPrefGetString("L", nullptr, nullptr, small, sizeof small, kIni), 13u);
    EXPECT_EQ(std::string(small, 14), std::string("first\0second\0\0", 14));
}

TEST(Prefs, LocationMustNameTheClientFileButTheCallGoesOn) {
    qn::test::IsolatedEnvironment env;
    QNSysLogDetach();
    std::string strLog = env.file("log.txt");
    StoreString("SystemLog", "AssertionChecking", "1");
    StoreString("SystemLog", "LogFilename", strLog.c_str());
    QNSysLogAttach();
    EXPECT_EQ(QNPrefSetString("S", "k", "v", "qnclient.ini"), 1);
    EXPECT_EQ(qn::test::ReadFile(strLog).find("Assertion"), std::string::npos)
        << "the location is compared without case";
    EXPECT_EQ(QNPrefSetString("S", "k2", "v2", "OTHER.INI"), 1);
    char buf[8];
    EXPECT_EQ(QNPrefGetString("S", "k2", nullptr, buf, sizeof buf, nullptr), 2u);
    std::string strText = qn::test::ReadFile(strLog);
    EXPECT_NE(
        strText.find("Assertion (stricmp(pszLocation, QNINI_INIFILENAME) == 0) failed in qnprefs"),
        std::string::npos)
        << strText;
    EXPECT_NE(access(env.file("OTHER.INI").c_str(), F_OK), 0) << "no file is ever written";
    EXPECT_NE(access(env.file("QNCLIENT.INI").c_str(), F_OK), 0);
    QNSysLogDetach();
}

TEST(Prefs, AnUnwritableStoreDeliversDefaultsAndDropsWrites) {
    qn::test::IsolatedEnvironment env;
    // The store's file is a folder: nothing can be read from or written to it.
    ASSERT_EQ(mkdir(us::StorePath().c_str(), 0700), 0);
    EXPECT_EQ(QNPrefSetString("S", "k", "v", kIni), 1);
    EXPECT_EQ(QNPrefGetNumber("S", "k", 31, kIni), 31u);
    char buf[8] = "xx";
    EXPECT_EQ(QNPrefGetString("S", "k", "d", buf, sizeof buf, kIni), 1u);
    EXPECT_STREQ(buf, "d");
    EXPECT_EQ(QNPrefGetString("S", nullptr, nullptr, buf, sizeof buf, kIni), 0u);
}
