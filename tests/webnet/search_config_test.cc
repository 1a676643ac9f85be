// Search-engine configurations: "QNINET.INI" read, written back and looked up, and the anchor
// scan of results pages in each mode.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport.h"
#include "webnet.h"

using qn::test::ReadFile;
using qn::test::TempDir;
using qn::test::WriteFile;

namespace {

const std::string kFixtures = std::string(SCAN_FIXTURE_DIR) + "/search/";

// Collects the text of every anchor the routine receives.
int CollectAnchor(ScanElement* e, void* userData) {
    auto* texts = static_cast<std::vector<std::string>*>(userData);
    const char* href = QNINetScanAttribute("HREF", e->count, e->attributes);
    texts->push_back(std::string(e->name) + ":" + (e->text ? e->text : "") + "@" +
                     (href ? href : "-"));
    return 0;  // ignored: the anchor scan reads the whole page
}

class SearchConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        m_strIni = m_dir.file("QNINET.INI");
        setenv("QUILLON_QNINET_INI", m_strIni.c_str(), 1);
        ASSERT_EQ(QNINetInitialize(), QNINET_OK);
    }
    void TearDown() override {
        QNINetTerminate();
        unsetenv("QUILLON_QNINET_INI");
    }

    // Scans a results page; returns "name:text@href" of each anchor reported.
    std::vector<std::string> Anchors(const std::string& strPage, const char* key,
                                     long* pCount = nullptr) {
        std::vector<std::string> texts;
        long count = -1;
        EXPECT_EQ(QNINetScanForAnchorFromFileByName((kFixtures + strPage).c_str(), key,
                                                    CollectAnchor, &texts, &count),
                  QNINET_OK);
        EXPECT_EQ(count, static_cast<long>(texts.size()));
        if (pCount != nullptr) {
            *pCount = count;
        }
        return texts;
    }

    TempDir m_dir;
    std::string m_strIni;
};

const char* const kIni =
    "; engines\r\n"
    "[QNINET]\r\n"
    "NumNames=7\r\n"
    "Name0=Example\r\n"
    "Name1=NoSkip\r\n"
    "Name2=listing\r\n"
    "Name3=\r\n"
    "Name4=glossary\r\n"
    "Name5=typeless\r\n"
    "Name6=strange\r\n"
    "[example]\r\n"
    "Type=0\r\n"
    "StartElement=HR\r\n"
    "EndElement=ADDRESS\r\n"
    "Skip=1\r\n"
    "IgnoreHostAnchors=1\r\n"
    "Comment=kept\r\n"
    "[NoSkip]\r\n"
    "Type=0\r\n"
    "StartElement=HR\r\n"
    "IgnoreHostAnchors=0\r\n"
    "[listing]\r\n"
    "Type=1\r\n"
    "StartElement=LI\r\n"
    "Skip=0\r\n"
    "IgnoreHostAnchors=1\r\n"
    "[glossary]\r\n"
    "Type=0\r\n"
    "StartElement=dl\r\n"
    "EndElement=dl\r\n"
    "Skip=1\r\n"
    "IgnoreHostAnchors=-2\r\n"
    "[typeless]\r\n"
    "StartElement=HR\r\n"
    "Skip=0\r\n"
    "IgnoreHostAnchors=0\r\n"
    "[strange]\r\n"
    "Type=5\r\n"
    "StartElement=A\r\n"
    "Skip=0\r\n"
    "IgnoreHostAnchors=0\r\n"
    "[Other]\r\n"
    "Key=value\r\n";

}  // namespace

TEST_F(SearchConfig, ReadSkipsInvalidEntriesAndKeepsTheOthers) {
    WriteFile(m_strIni, kIni);
    SearchEngineConfig* configs = nullptr;
    int count = QNINetReadSearchEngineConfigs(&configs);
    ASSERT_EQ(count, 4);  // NoSkip, the empty name and typeless are invalid
    ASSERT_NE(configs, nullptr);
    EXPECT_STREQ(configs[0].name, "example");
    EXPECT_EQ(configs[0].type, 0);
    EXPECT_STREQ(configs[0].startElement, "HR");
    EXPECT_STREQ(configs[0].endElement, "ADDRESS");
    EXPECT_EQ(configs[0].skip, 1);
    EXPECT_EQ(configs[0].ignoreHostAnchors, 1);
    EXPECT_STREQ(configs[1].name, "listing");
    EXPECT_EQ(configs[1].type, 1);
    EXPECT_EQ(configs[1].endElement, nullptr);
    EXPECT_STREQ(configs[2].name, "glossary");
    EXPECT_EQ(configs[2].ignoreHostAnchors, 1);  // any nonzero value but -1
    EXPECT_STREQ(configs[3].name, "strange");
    EXPECT_EQ(configs[3].type, 5);
    QNINetFreeSearchEngineConfigs(configs, count);
}

TEST_F(SearchConfig, EachMissingOrMarkingValueMakesAnEntryInvalid) {
    const std::string kValid = "Type=0\nStartElement=HR\nSkip=0\nIgnoreHostAnchors=0\n";
    struct Case {
        const char* what;
        std::string section;
    } cases[] = {
        {"Type 3", "Type=3\nStartElement=HR\nSkip=0\nIgnoreHostAnchors=0\n"},
        {"no Type", "StartElement=HR\nSkip=0\nIgnoreHostAnchors=0\n"},
        {"no StartElement", "Type=0\nSkip=0\nIgnoreHostAnchors=0\n"},
        {"empty StartElement", "Type=0\nStartElement=\nSkip=0\nIgnoreHostAnchors=0\n"},
        {"Skip -1", "Type=0\nStartElement=HR\nSkip=-1\nIgnoreHostAnchors=0\n"},
        {"no IgnoreHostAnchors", "Type=0\nStartElement=HR\nSkip=0\n"},
        {"IgnoreHostAnchors -1", "Type=0\nStartElement=HR\nSkip=0\nIgnoreHostAnchors=-1\n"},
        {"no section", ""},
    };
    for (const auto& c : cases) {
        std::string ini = "[QNINET]\nNumNames=2\nName0=bad\nName1=good\n[good]\n" + kValid;
        if (!c.section.empty()) {
            ini += "[bad]\n" + c.section;
        }
        WriteFile(m_strIni, ini);
        SearchEngineConfig* configs = nullptr;
        ASSERT_EQ(QNINetReadSearchEngineConfigs(&configs), 1) << c.what;
        EXPECT_STREQ(configs[0].name, "good") << c.what;
        QNINetFreeSearchEngineConfigs(configs, 1);
    }
    // Texts are read with at most 99 characters.
    std::string longName(150, 'h');
    WriteFile(m_strIni, "[QNINET]\nNumNames=1\nName0=x\n[x]\nType=0\nStartElement=" + longName +
                            "\nSkip=0\nIgnoreHostAnchors=0\n");
    SearchEngineConfig* configs = nullptr;
    ASSERT_EQ(QNINetReadSearchEngineConfigs(&configs), 1);
    EXPECT_EQ(std::string(configs[0].startElement), longName.substr(0, 99));
    QNINetFreeSearchEngineConfigs(configs, 1);
}

TEST_F(SearchConfig, ManyConfigurationsAreReadInFileOrder) {
    // The file is read once, not once per key (3000 entries took half a minute that way).
    const int kCount = 3000;
    std::string ini = "[QNINET]\nNumNames=" + std::to_string(kCount) + "\n";
    for (int i = 0; i < kCount; ++i) {
        ini += "Name" + std::to_string(i) + "=Engine" + std::to_string(i) + "\n";
    }
    for (int i = kCount - 1; i >= 0; --i) {
        ini += "[engine" + std::to_string(i) + "]\nType=" + std::to_string(i % 3) +
               "\nStartElement=\"HR\"\nSkip=" + std::to_string(i) +
               "\nIgnoreHostAnchors=" + std::to_string(i % 2) + "\n";
    }
    WriteFile(m_strIni, ini);
    SearchEngineConfig* configs = nullptr;
    ASSERT_EQ(QNINetReadSearchEngineConfigs(&configs), kCount);
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(std::string(configs[i].name), "engine" + std::to_string(i));
        ASSERT_EQ(configs[i].type, i % 3);
        ASSERT_STREQ(configs[i].startElement, "HR");  // without the quotes
        ASSERT_EQ(configs[i].skip, i);
        ASSERT_EQ(configs[i].ignoreHostAnchors, i % 2);
    }
    QNINetFreeSearchEngineConfigs(configs, kCount);
    char buffer[16];
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("www.engine2999.org", sizeof buffer, buffer), 1);
    EXPECT_STREQ(buffer, "engine2");  // the first in file order that occurs in the key
}

TEST_F(SearchConfig, NoConfigurationsLeaveTheResultUntouched) {
    SearchEngineConfig sentinel{};
    for (const char* ini : {"", "[QNINET]\nNumNames=0\nName0=a\n", "[QNINET]\nNumNames=100000\n",
                            "[QNINET]\nNumNames=-3\n", "[QNINET]\nName0=a\n"}) {
        WriteFile(m_strIni, ini);
        SearchEngineConfig* configs = &sentinel;
        EXPECT_EQ(QNINetReadSearchEngineConfigs(&configs), 0) << ini;
        EXPECT_EQ(configs, &sentinel) << ini;
    }
    unlink(m_strIni.c_str());
    SearchEngineConfig* configs = &sentinel;
    EXPECT_EQ(QNINetReadSearchEngineConfigs(&configs), 0);
    EXPECT_EQ(configs, &sentinel);
    EXPECT_EQ(QNINetReadSearchEngineConfigs(nullptr), 0);
    // Listed but none valid: nothing to free.
    WriteFile(m_strIni, "[QNINET]\nNumNames=2\nName0=\n");
    EXPECT_EQ(QNINetReadSearchEngineConfigs(&configs), 0);
    EXPECT_EQ(configs, nullptr);
}

TEST_F(SearchConfig, WrittenBackAndReadAgain) {
    WriteFile(m_strIni, kIni);
    SearchEngineConfig* configs = nullptr;
    int count = QNINetReadSearchEngineConfigs(&configs);
    ASSERT_EQ(count, 4);
    ASSERT_EQ(QNINetWriteSearchEngineConfig(configs, count), 1);
    std::string text = ReadFile(m_strIni);
    EXPECT_NE(text.find("Comment=kept"), std::string::npos);  // other keys stay
    EXPECT_NE(text.find("[Other]"), std::string::npos);
    EXPECT_NE(text.find("NumNames=4"), std::string::npos);

    SearchEngineConfig* again = nullptr;
    ASSERT_EQ(QNINetReadSearchEngineConfigs(&again), count);
    for (int i = 0; i < count; ++i) {
        EXPECT_STREQ(again[i].name, configs[i].name);
        EXPECT_EQ(again[i].type, configs[i].type);
        EXPECT_STREQ(again[i].startElement, configs[i].startElement);
        EXPECT_EQ(again[i].endElement == nullptr, configs[i].endElement == nullptr);
        EXPECT_EQ(again[i].skip, configs[i].skip);
        EXPECT_EQ(again[i].ignoreHostAnchors, configs[i].ignoreHostAnchors);
    }
    QNINetFreeSearchEngineConfigs(again, count);

    // A null EndElement deletes the key.
    free(configs[0].endElement);
    configs[0].endElement = nullptr;
    ASSERT_EQ(QNINetWriteSearchEngineConfig(configs, 1), 1);
    ASSERT_GE(QNINetReadSearchEngineConfigs(&again), 1);
    EXPECT_STREQ(again[0].name, "example");
    EXPECT_EQ(again[0].endElement, nullptr);
    EXPECT_EQ(ReadFile(m_strIni).find("ADDRESS"), std::string::npos);
    QNINetFreeSearchEngineConfigs(again, 1);
    QNINetFreeSearchEngineConfigs(configs, count);

    EXPECT_EQ(QNINetWriteSearchEngineConfig(nullptr, 2), 0);
    EXPECT_EQ(QNINetWriteSearchEngineConfig(nullptr, -1), 0);
}

TEST_F(SearchConfig, WriteToAFolderThatCannotBeWrittenFails) {
    setenv("QUILLON_QNINET_INI", (m_dir.path() + "/missing/dir/QNINET.INI").c_str(), 1);
    SearchEngineConfig config{};
    config.name = const_cast<char*>("x");
    config.startElement = const_cast<char*>("HR");
    EXPECT_EQ(QNINetWriteSearchEngineConfig(&config, 1), 0);
}

TEST_F(SearchConfig, TextsThatWouldBreakTheFileRefuseTheWholeWrite) {
    WriteFile(m_strIni, kIni);
    SearchEngineConfig good{};
    good.name = const_cast<char*>("fine");
    good.type = 2;
    good.startElement = const_cast<char*>("A");
    struct Case {
        const char* name;
        const char* start;
        const char* end;
    } cases[] = {
        {"evil\nNumNames=99", "A", nullptr},
        {"evil\r", "A", nullptr},
        {"ev]il", "A", nullptr},
        {"[evil", "A", nullptr},
        {"evil", "A\n[QNINET]", nullptr},
        {"evil", "A", "ADDRESS\nSkip=5"},
        {"   ", "A", nullptr},  // a section without a name: refused part-way through the write
    };
    for (const auto& c : cases) {
        SearchEngineConfig configs[2] = {good, good};
        configs[1].name = const_cast<char*>(c.name);
        configs[1].startElement = const_cast<char*>(c.start);
        configs[1].endElement = const_cast<char*>(c.end);
        EXPECT_EQ(QNINetWriteSearchEngineConfig(configs, 2), 0) << c.name;
        EXPECT_EQ(ReadFile(m_strIni), kIni) << c.name;
    }
}

TEST_F(SearchConfig, CheckMatchesNamesInsideTheKey) {
    WriteFile(m_strIni, kIni);
    char buffer[32] = "unchanged";
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("Search results - EXAMPLE.com", 32, buffer), 1);
    EXPECT_STREQ(buffer, "example");
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("www.example.org", 4, buffer), 1);
    EXPECT_STREQ(buffer, "exa");
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("a listing and an example", 32, buffer), 1);
    EXPECT_STREQ(buffer, "example");  // the first in file order wins
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("nothing here", 32, buffer), 0);
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("noskip", 32, buffer), 0);  // invalid entry
    EXPECT_EQ(QNINetCheckForSearchEngineConfig(nullptr, 32, buffer), 0);
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("example", 0, nullptr), 1);
}

TEST_F(SearchConfig, CacheIsKeptUntilTerminateAndRefreshedByWrites) {
    WriteFile(m_strIni,
              "[QNINET]\nNumNames=1\nName0=alpha\n[alpha]\nType=2\nStartElement=A\n"
              "Skip=0\nIgnoreHostAnchors=0\n");
    char buffer[16];
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("alpha", 16, buffer), 1);
    WriteFile(m_strIni,
              "[QNINET]\nNumNames=1\nName0=beta\n[beta]\nType=2\nStartElement=A\n"
              "Skip=0\nIgnoreHostAnchors=0\n");
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("alpha", 16, buffer), 1);  // cached
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("beta", 16, buffer), 0);
    EXPECT_EQ(QNINetTerminate(), QNINET_OK);
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("alpha", 16, buffer), 0);  // read again
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("beta", 16, buffer), 1);
    ASSERT_EQ(QNINetInitialize(), QNINET_OK);

    SearchEngineConfig config{};
    config.name = const_cast<char*>("gamma");
    config.type = 2;
    config.startElement = const_cast<char*>("A");
    ASSERT_EQ(QNINetWriteSearchEngineConfig(&config, 1), 1);
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("gamma", 16, buffer), 1);
    EXPECT_EQ(QNINetCheckForSearchEngineConfig("beta", 16, buffer), 0);
}

TEST_F(SearchConfig, ModeZeroRegionsAfterSkipWithoutHostAnchors) {
    WriteFile(m_strIni, kIni);
    // No key: the page's title ("Example Search: ...") selects the configuration.
    long count = 0;
    std::vector<std::string> anchors = Anchors("example_results.html", nullptr, &count);
    EXPECT_EQ(anchors, (std::vector<std::string>{"A:First result@http://result1.org/",
                                                 "A:Second result@http://result2.net/page",
                                                 "A:Third result@https://again.org/"}));
    EXPECT_EQ(count, 3);
}

TEST_F(SearchConfig, ModeOneTakesTheFirstForeignAnchorAfterEachItem) {
    WriteFile(m_strIni, kIni);
    EXPECT_EQ(
        Anchors("list_results.html", "a listing engine"),
        (std::vector<std::string>{"A:A@http://a.org/", "A:C@http://c.org/", "A:D@http://d.org/"}));
    // Without ignoring host anchors only an anchor that is the very next named record counts.
    WriteFile(m_strIni,
              "[QNINET]\nNumNames=1\nName0=listing\n[listing]\nType=1\n"
              "StartElement=LI\nSkip=0\nIgnoreHostAnchors=0\n");
    QNINetTerminate();
    ASSERT_EQ(QNINetInitialize(), QNINET_OK);
    EXPECT_EQ(Anchors("list_results.html", "listing"),
              (std::vector<std::string>{"A:Own link@/own", "A:C@http://c.org/"}));
}

TEST_F(SearchConfig, ModeTwoTakesEveryForeignAnchor) {
    WriteFile(m_strIni,
              "[QNINET]\nNumNames=1\nName0=example\n[example]\nType=2\nStartElement=BODY\n"
              "Skip=0\nIgnoreHostAnchors=1\n");
    EXPECT_EQ(Anchors("example_results.html", nullptr),
              (std::vector<std::string>{
                  "A:Sponsored@http://foreign.org/early", "A:First result@http://result1.org/",
                  "A:Second result@http://result2.net/page", "A:Below the region@http://after.org/",
                  "A:Third result@https://again.org/"}));
}

TEST_F(SearchConfig, ListEndRecordsCountAsStartElementsToo) {
    WriteFile(m_strIni, kIni);
    // glossary: StartElement DL, EndElement DL, Skip 1: the end of the first list opens the
    // region, the start of the second closes it and its end opens the next one.
    EXPECT_EQ(
        Anchors("dl_results.html", "glossary"),
        (std::vector<std::string>{"A:between@http://between.org/", "A:tail@http://tail.org/"}));
}

TEST_F(SearchConfig, UnmatchedKeyReportsEveryAnchorAndUnknownModeNone) {
    WriteFile(m_strIni, kIni);
    EXPECT_EQ(Anchors("dl_results.html", "no such engine").size(), 5u);
    EXPECT_EQ(Anchors("example_results.html", "").size(), 9u);
    EXPECT_TRUE(Anchors("example_results.html", "strange").empty());
    unlink(m_strIni.c_str());  // no file at all: the default configuration
    QNINetTerminate();
    ASSERT_EQ(QNINetInitialize(), QNINET_OK);
    EXPECT_EQ(Anchors("example_results.html", nullptr).size(), 9u);
}

TEST_F(SearchConfig, AnchorScanResultCodes) {
    std::vector<std::string> texts;
    long count = 5;
    EXPECT_EQ(QNINetScanForAnchorFromFileByName((kFixtures + "dl_results.html").c_str(), nullptr,
                                                nullptr, &texts, &count),
              QNINET_ERR_NO_ROUTINE);
    EXPECT_EQ(count, 0);
    count = 5;
    EXPECT_EQ(QNINetScanForAnchorFromFileByName((kFixtures + "missing.html").c_str(), nullptr,
                                                CollectAnchor, &texts, &count),
              QNINET_ERR_FILE_OPEN);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(QNINetScanForAnchorFromFileByName((kFixtures + "dl_results.html").c_str(), "x",
                                                CollectAnchor, &texts, nullptr),
              QNINET_OK);
    EXPECT_EQ(texts.size(), 5u);

    // By handle: the title is read through the same handle first; the handle stays open.
    int fd = open((kFixtures + "example_results.html").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    WriteFile(m_strIni, kIni);
    texts.clear();
    EXPECT_EQ(QNINetScanForAnchorFromFileByHandle(fd, nullptr, CollectAnchor, &texts, &count),
              QNINET_OK);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), lseek(fd, 0, SEEK_END));
    close(fd);
}

TEST(SearchConfigBesideLibrary, FileBesideTheLibraryWithoutTheVariable) {
    unsetenv("QUILLON_QNINET_INI");
    ASSERT_EQ(QNINetInitialize(), QNINET_OK);
    SearchEngineConfig config{};
    config.name = const_cast<char*>("besidelib");
    config.type = 2;
    config.startElement = const_cast<char*>("A");
    ASSERT_EQ(QNINetWriteSearchEngineConfig(&config, 1), 1);
    std::string path = std::string(WEBNET_LIBRARY_DIR) + "/QNINET.INI";
    std::string text = ReadFile(path);
    unlink(path.c_str());
    EXPECT_NE(text.find("Name0=besidelib"), std::string::npos);
    QNINetTerminate();
}
