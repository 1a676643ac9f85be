// The page-scanning exports of libwebnet.so on real files: the fixtures' exact record
// sequences, the result codes, the hook, the handle's position, and files that change while
// they are read.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scan_records.h"
#include "testsupport.h"
#include "webnet.h"

using qn::test::CollectRecords;
using qn::test::Joined;
using qn::test::ReadFile;
using qn::test::ReadLines;
using qn::test::TempDir;
using qn::test::WriteFile;

namespace {

class ScanPage : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(QNINetInitialize(), QNINET_OK); }
    void TearDown() override { QNINetTerminate(); }

    std::string Write(const std::string& strName, const std::string& strContents) {
        std::string path = m_dir.file(strName);
        WriteFile(path, strContents);
        return path;
    }

    TempDir m_dir;
};

int CountCalls(ScanElement*, void* userData) {
    ++*static_cast<int*>(userData);
    return 1;
}

int StopAtOnce(ScanElement*, void* userData) {
    ++*static_cast<int*>(userData);
    return 0;
}

std::string Anchors(int n) {
    std::string html = "<title>Many</title>\n";
    for (int i = 0; i < n; ++i) {
        html += "<a href=\"http://h" + std::to_string(i) + ".org/\">anchor " + std::to_string(i) +
                "</a>\n";
    }
    return html;
}

}  // namespace

TEST_F(ScanPage, FixturesGiveTheirExactRecords) {
    DIR* dir = opendir(SCAN_FIXTURE_DIR);
    ASSERT_NE(dir, nullptr);
    int checked = 0;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".html") != 0) {
            continue;
        }
        std::string base = std::string(SCAN_FIXTURE_DIR) + "/" + name.substr(0, name.size() - 5);
        std::vector<std::string> records;
        EXPECT_EQ(QNINetScanPageFromFileByName((base + ".html").c_str(), CollectRecords, &records),
                  QNINET_OK);
        EXPECT_EQ(Joined(records), Joined(ReadLines(base + ".records"))) << name;
        ++checked;
    }
    closedir(dir);
    EXPECT_GE(checked, 10);
}

TEST(ScanPageUninitialised, EveryScanReturnsNotInitialised) {
    TempDir dir;
    std::string path = dir.file("p.html");
    WriteFile(path, "<title>x</title>");
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int calls = 0;
    char buffer[64];
    long count = 7;
    EXPECT_EQ(QNINetScanPageFromFileByName(path.c_str(), CountCalls, &calls), 6);
    EXPECT_EQ(QNINetScanPageFromFileByHandle(fd, CountCalls, &calls), 6);
    EXPECT_EQ(QNINetScanForTitleFromFileByName(path.c_str(), 64, buffer), 6);
    EXPECT_EQ(QNINetScanForTitleFromFileByHandle(fd, 64, buffer), 6);
    EXPECT_EQ(QNINetScanForAnchorFromFileByName(path.c_str(), "k", CountCalls, &calls, &count), 6);
    EXPECT_EQ(QNINetScanForAnchorFromFileByHandle(fd, "k", CountCalls, &calls, &count), 6);
    EXPECT_EQ(calls, 0);
    close(fd);
}

TEST_F(ScanPage, ResultCodes) {
    std::string page = Write("page.html", "<title>0123456789</title><a href=x>y</a>");
    std::string bare = Write("bare.html", "<h1>no title here</h1>");
    std::string empty = Write("empty.html", "<title> \n </title>");
    int calls = 0;
    char buffer[32];
    EXPECT_EQ(QNINetScanPageFromFileByName(m_dir.file("missing.html").c_str(), CountCalls, &calls),
              QNINET_ERR_FILE_OPEN);
    EXPECT_EQ(QNINetScanPageFromFileByName(m_dir.path().c_str(), CountCalls, &calls),
              QNINET_ERR_FILE_OPEN);
    EXPECT_EQ(QNINetScanPageFromFileByName(nullptr, CountCalls, &calls), QNINET_ERR_FILE_OPEN);
    EXPECT_EQ(QNINetScanPageFromFileByName(page.c_str(), nullptr, &calls), QNINET_ERR_NO_ROUTINE);
    EXPECT_EQ(calls, 0);

    EXPECT_EQ(QNINetScanForTitleFromFileByName(bare.c_str(), 32, buffer), QNINET_ERR_NO_TITLE);
    EXPECT_EQ(QNINetScanForTitleFromFileByName(empty.c_str(), 32, buffer), QNINET_ERR_NO_TITLE);
    EXPECT_EQ(QNINetScanForTitleFromFileByName(page.c_str(), 10, buffer),
              QNINET_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(QNINetScanForTitleFromFileByName(page.c_str(), 0, buffer),
              QNINET_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(QNINetScanForTitleFromFileByName(page.c_str(), 11, nullptr), QNINET_ERR_BAD_ARGS);
    EXPECT_EQ(QNINetScanForTitleFromFileByName(m_dir.file("missing").c_str(), 11, buffer),
              QNINET_ERR_FILE_OPEN);
    ASSERT_EQ(QNINetScanForTitleFromFileByName(page.c_str(), 11, buffer), QNINET_OK);
    EXPECT_STREQ(buffer, "0123456789");

    // A pipe cannot be rewound.
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    EXPECT_EQ(QNINetScanPageFromFileByHandle(pipes[0], CountCalls, &calls), QNINET_ERR_FILE_SEEK);
    EXPECT_EQ(QNINetScanForTitleFromFileByHandle(pipes[0], 32, buffer), QNINET_ERR_FILE_SEEK);
    close(pipes[0]);
    close(pipes[1]);
    EXPECT_EQ(QNINetScanPageFromFileByHandle(-1, CountCalls, &calls), QNINET_ERR_FILE_SEEK);
}

TEST_F(ScanPage, RoutineReturningZeroStopsAtTheFirstRecord) {
    std::string path = Write("many.html", Anchors(5000));
    int calls = 0;
    EXPECT_EQ(QNINetScanPageFromFileByName(path.c_str(), StopAtOnce, &calls), QNINET_OK);
    EXPECT_EQ(calls, 1);
}

TEST_F(ScanPage, HandleStaysOpenAtTheEndOfWhatWasRead) {
    std::string html = Anchors(3000);  // several 16 KB blocks
    std::string path = Write("many.html", html);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 100, SEEK_SET), 100);  // the scan starts at offset 0 anyway
    std::vector<std::string> records;
    ASSERT_EQ(QNINetScanPageFromFileByHandle(fd, CollectRecords, &records), QNINET_OK);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), static_cast<off_t>(html.size()));
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [](const std::string& r) { return r.rfind("0 A ", 0) == 0; }),
              3000);
    EXPECT_EQ(records.front(), "0 TITLE \"Many\"");
    EXPECT_EQ(records.back(), "0 A \"anchor 2999\" HREF=\"http://h2999.org/\"");
    // Scanned again through the same handle: the same records.
    std::vector<std::string> again;
    ASSERT_EQ(QNINetScanPageFromFileByHandle(fd, CollectRecords, &again), QNINET_OK);
    EXPECT_EQ(again, records);
    char buffer[16];
    EXPECT_EQ(QNINetScanForTitleFromFileByHandle(fd, sizeof buffer, buffer), QNINET_OK);
    EXPECT_STREQ(buffer, "Many");
    close(fd);
}

TEST_F(ScanPage, EmptyFileReportsNothing) {
    std::string path = Write("empty.html", "");
    int calls = 0;
    EXPECT_EQ(QNINetScanPageFromFileByName(path.c_str(), CountCalls, &calls), QNINET_OK);
    EXPECT_EQ(calls, 0);
}

namespace {
struct HookLog {
    int calls = 0;
    int stopAt = 0;       // the call that returns 0 (0: never)
    int truncateFd = -1;  // ftruncate this descriptor at the first call
    off_t truncateTo = 0;
};

int Hook(void* hookData) {
    auto* log = static_cast<HookLog*>(hookData);
    ++log->calls;
    if (log->truncateFd >= 0 && log->calls == 1) {
        EXPECT_EQ(ftruncate(log->truncateFd, log->truncateTo), 0);
    }
    return (log->stopAt != 0 && log->calls == log->stopAt) ? 0 : 1;
}
}  // namespace

TEST_F(ScanPage, HookRunsBeforeEachBlockAndEvery200Bytes) {
    std::string html = Anchors(1200);
    std::string path = Write("hook.html", html);
    HookLog log;
    EXPECT_EQ(QNINetSetScanHook(Hook, &log), nullptr);
    int calls = 0;
    EXPECT_EQ(QNINetScanPageFromFileByName(path.c_str(), CountCalls, &calls), QNINET_OK);
    size_t expected = 0;
    for (size_t offset = 0; offset < html.size(); offset += 16384) {
        size_t block = std::min<size_t>(16384, html.size() - offset);
        expected += (block + 199) / 200;
    }
    EXPECT_EQ(static_cast<size_t>(log.calls), expected);
    EXPECT_EQ(calls, 1201);
    EXPECT_EQ(QNINetSetScanHook(nullptr, nullptr), Hook);
}

TEST_F(ScanPage, HookReturningZeroStopsTheScan) {
    std::string path = Write("hook.html", Anchors(1200));
    HookLog log;
    log.stopAt = 3;  // after 400 bytes
    QNINetSetScanHook(Hook, &log);
    std::vector<std::string> records;
    EXPECT_EQ(QNINetScanPageFromFileByName(path.c_str(), CollectRecords, &records), QNINET_OK);
    QNINetSetScanHook(nullptr, nullptr);
    EXPECT_EQ(log.calls, 3);
    EXPECT_GE(records.size(), 5u);  // the title and the anchors within the first 400 bytes
    EXPECT_LE(records.size(), 12u);
}

TEST_F(ScanPage, FileThatShrinksWhileItIsRead) {
    std::string html = Anchors(2000);
    std::string path = Write("shrink.html", html);
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    HookLog log;
    log.truncateFd = fd;
    log.truncateTo = 20000;  // inside the second block
    QNINetSetScanHook(Hook, &log);
    std::vector<std::string> records;
    EXPECT_EQ(QNINetScanPageFromFileByHandle(fd, CollectRecords, &records), QNINET_OK);
    QNINetSetScanHook(nullptr, nullptr);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 20000);
    close(fd);
    // Only what was there is reported: the anchors that ended within the first 20000 bytes
    // (and the one cut at the end, closed there).
    size_t anchors = std::count_if(records.begin(), records.end(),
                                   [](const std::string& r) { return r.rfind("0 A ", 0) == 0; });
    size_t complete = 0;
    for (size_t pos = 0; (pos = html.find("</a>", pos)) != std::string::npos && pos + 4 <= 20000;
         pos += 4) {
        ++complete;
    }
    EXPECT_GE(anchors, complete);
    EXPECT_LE(anchors, complete + 1);
}

TEST_F(ScanPage, TagsAcrossBlockBoundaries) {
    // Put a start tag, an entity and an end tag across the 16 KB block edge.
    for (size_t shift = 0; shift < 40; shift += 3) {
        std::string html(16384 - 20 + shift, ' ');
        html += "<a href=\"http://edge.org/\" name=n>caf&eacute; edge</a>";
        std::string path = Write("edge.html", html);
        std::vector<std::string> records;
        ASSERT_EQ(QNINetScanPageFromFileByName(path.c_str(), CollectRecords, &records), QNINET_OK);
        ASSERT_EQ(records.size(), 1u) << shift;
        EXPECT_EQ(records[0], "0 A \"cafe edge\" HREF=\"http://edge.org/\" NAME=\"n\"") << shift;
    }
}

TEST(ScanAttribute, FindsByNameWithoutRegardToCase) {
    ScanAttribute attributes[] = {{"QNI_ITEM_TYPE", "3"}, {"HREF", "http://x/"}, {"NAME", nullptr}};
    EXPECT_STREQ(QNINetScanAttribute("href", 3, attributes), "http://x/");
    EXPECT_STREQ(QNINetScanAttribute("Qni_Item_Type", 3, attributes), "3");
    EXPECT_EQ(QNINetScanAttribute("name", 3, attributes), nullptr);
    EXPECT_EQ(QNINetScanAttribute("href", 1, attributes), nullptr);
    EXPECT_EQ(QNINetScanAttribute("title", 3, attributes), nullptr);
    EXPECT_EQ(QNINetScanAttribute(nullptr, 3, attributes), nullptr);
    EXPECT_EQ(QNINetScanAttribute("href", 3, nullptr), nullptr);
    EXPECT_EQ(QNINetScanAttribute("href", -1, attributes), nullptr);
}

TEST_F(ScanPage, FileWithoutASizeIsReadByteByByte) {
    // Files under /proc report the size 0 but have contents.
    std::string contents = ReadFile("/proc/self/status");
    if (contents.empty()) {
        GTEST_SKIP() << "no /proc";
    }
    HookLog log;
    QNINetSetScanHook(Hook, &log);
    std::vector<std::string> records;
    EXPECT_EQ(QNINetScanPageFromFileByName("/proc/self/status", CollectRecords, &records),
              QNINET_OK);
    QNINetSetScanHook(nullptr, nullptr);
    EXPECT_EQ(log.calls, 1);  // once, after the last byte
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0].rfind("4 - \"Name:", 0), 0u) << records[0];
}

TEST_F(ScanPage, DevicesAndNamedPipesAreRefusedWithoutWaiting) {
    std::string fifo = m_dir.file("pipe.html");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Each call runs in a child that a stuck read or open would keep until the alarm ends it.
    struct Case {
        const char* what;
        std::function<int()> scan;
        int expected;
    } cases[] = {
        {"/dev/zero by name",
         [] {
             int calls = 0;
             return QNINetScanPageFromFileByName("/dev/zero", CountCalls, &calls);
         },
         QNINET_ERR_FILE_OPEN},
        {"named pipe without a writer by name",
         [&] {
             int calls = 0;
             return QNINetScanPageFromFileByName(fifo.c_str(), CountCalls, &calls);
         },
         QNINET_ERR_FILE_OPEN},
        {"/dev/zero title by name",
         [] {
             char buffer[16];
             return QNINetScanForTitleFromFileByName("/dev/zero", sizeof buffer, buffer);
         },
         QNINET_ERR_FILE_OPEN},
        {"/dev/zero by handle",
         [] {
             int fd = open("/dev/zero", O_RDONLY);
             int calls = 0;
             return QNINetScanPageFromFileByHandle(fd, CountCalls, &calls);
         },
         QNINET_ERR_FILE_SEEK},
        {"/dev/zero anchors by handle",
         [] {
             int fd = open("/dev/zero", O_RDONLY);
             int calls = 0;
             long count = 0;
             return QNINetScanForAnchorFromFileByHandle(fd, nullptr, CountCalls, &calls, &count);
         },
         QNINET_ERR_FILE_SEEK},
    };
    for (auto& c : cases) {
        pid_t pid = qn::test::ForkChild([&] {
            alarm(20);
            return c.scan();
        });
        ASSERT_GT(pid, 0);
        EXPECT_EQ(qn::test::WaitChild(pid), c.expected) << c.what;
    }
}

TEST_F(ScanPage, DescriptorThatCannotBeReadIsNoSuccess) {
    std::string path = Write("page.html", "<title>T</title><a href=x>y</a>");
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::vector<std::string> records;
    char buffer[16];
    long count = 0;
    EXPECT_EQ(QNINetScanPageFromFileByHandle(fd, CollectRecords, &records), QNINET_ERR_FILE_SEEK);
    EXPECT_EQ(QNINetScanForTitleFromFileByHandle(fd, sizeof buffer, buffer), QNINET_ERR_FILE_SEEK);
    EXPECT_EQ(QNINetScanForAnchorFromFileByHandle(fd, "key", CollectRecords, &records, &count),
              QNINET_ERR_FILE_SEEK);
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(count, 0);
    close(fd);
}
