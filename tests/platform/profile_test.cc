#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "platform/profileparse.h"
#include "testsupport.h"

namespace profile = qn::platform::profile;
using qn::test::PermissionsBind;
using qn::test::ReadFile;
using qn::test::TempDir;
using qn::test::WriteFile;

namespace {

std::string Read(const char* pszSection, const char* pszKey, const char* pszDefault,
                 const std::string& strPath, size_t cch = 256) {
    std::vector<char> buf(cch + 1, '#');
    size_t n =
        profile::ReadString(pszSection, pszKey, pszDefault, buf.data(), cch, strPath.c_str());
    EXPECT_EQ(buf[n], '\0');
    return std::string(buf.data(), n);
}

// A list of NUL-ended names as a vector.
std::vector<std::string> SplitList(const char* pch, size_t cch) {
    std::vector<std::string> items;
    size_t pos = 0;
    while (pos < cch && pch[pos] != '\0') {
        items.emplace_back(pch + pos);
        pos += items.back().size() + 1;
    }
    return items;
}

}  // namespace

TEST(Profile, ReadsValuesAsTheProfileCallsDo) {
    TempDir dir;
    std::string strPath = dir.file("a.ini");
    WriteFile(strPath,
              "; leading comment\r\n"
              "orphan=outside any section\r\n"
              "[General]\r\n"
              "  Name = Some Value  \r\n"
              "Quoted=\"  padded  \"\r\n"
              "Single='x'\r\n"
              "Half=\"open\r\n"
              "Empty=\r\n"
              "Equals=a=b\r\n"
              "no equals sign here\r\n"
              "[ Spaced Section ]\n"
              "k=v\n"
              "[general]\r\n"
              "Name=second section is ignored\r\n");
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"General", "Name", "Some Value"},   {"GENERAL", "name", "Some Value"},
        {"General", "Quoted", "  padded  "}, {"General", "Single", "x"},
        {"General", "Half", "\"open"},       {"General", "Empty", ""},
        {"General", "Equals", "a=b"},        {"Spaced Section", "k", "v"},
        {"General", "orphan", "dflt"},       {"General", "no equals sign here", "dflt"},
        {"Missing", "Name", "dflt"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Read(c.section, c.key, "dflt", strPath), c.expected) << c.section << "/" << c.key;
    }
}

TEST(Profile, DefaultsAndBufferLimits) {
    TempDir dir;
    std::string strPath = dir.file("b.ini");
    WriteFile(strPath, "[S]\nlong=0123456789\n");
    EXPECT_EQ(Read("S", "absent", "def  \t ", strPath), "def")
        << "trailing blanks of the default go";
    EXPECT_EQ(Read("S", "absent", nullptr, strPath), "");
    EXPECT_EQ(Read("S", "long", "", strPath, 5), "0123") << "cut to the buffer less the NUL";
    char ch = 'z';
    EXPECT_EQ(profile::ReadString("S", "long", "", &ch, 0, strPath.c_str()), 0u);
    EXPECT_EQ(ch, 'z') << "a zero-size buffer is not touched";
    EXPECT_EQ(Read("S", "x", "fallback", dir.file("missing.ini")), "fallback");
    EXPECT_EQ(Read("S", "x", "fallback", dir.path()), "fallback") << "a folder is not a profile";
    EXPECT_EQ(profile::ReadString("S", "x", "d", nullptr, 10, strPath.c_str()), 0u);
}

TEST(Profile, ListsSectionsAndKeysAndCutsAtWholeNames) {
    TempDir dir;
    std::string strPath = dir.file("c.ini");
    WriteFile(strPath, "[one]\nalpha=1\nbeta=2\nALPHA=dup\n[two]\n[One]\ngamma=3\n");
    char buf[64];
    size_t n = profile::ReadString(nullptr, nullptr, nullptr, buf, sizeof buf, strPath.c_str());
    EXPECT_EQ(SplitList(buf, n + 1), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(n, 8u);
    n = profile::ReadString("ONE", nullptr, nullptr, buf, sizeof buf, strPath.c_str());
    EXPECT_EQ(SplitList(buf, n + 1), (std::vector<std::string>{"alpha", "beta"}));
    // "alpha\0" fits in 8 with the final NUL; "beta\0" does not.
    n = profile::ReadString("one", nullptr, nullptr, buf, 8, strPath.c_str());
    EXPECT_EQ(n, 6u) << "a cut list returns the size less 2";
    EXPECT_EQ(SplitList(buf, 8), (std::vector<std::string>{"alpha"}));
    EXPECT_EQ(buf[6], '\0');
    n = profile::ReadString("empty", nullptr, nullptr, buf, sizeof buf, strPath.c_str());
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], '\0');

    n = profile::ReadSection("one", buf, sizeof buf, strPath.c_str());
    EXPECT_EQ(SplitList(buf, n + 1), (std::vector<std::string>{"alpha=1", "beta=2"}));
    auto entries = profile::ReadSectionEntries("two", strPath.c_str());
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(profile::ReadSectionNames(strPath.c_str()).size(), 2u);
}

TEST(Profile, ReadIntTakesTheLeadingDecimalNumber) {
    TempDir dir;
    std::string strPath = dir.file("d.ini");
    WriteFile(strPath,
              "[N]\nplain=42\nneg=-17\nplus=+5\nlead=12abc\ntext=abc\nempty=\nhex=0x10\nbig="
              "99999999999\n");
    struct Case {
        const char* key;
        int expected;
    };
    const Case cases[] = {{"plain", 42}, {"neg", -17},        {"plus", 5},
                          {"lead", 12},  {"text", 0},         {"empty", 0},
                          {"hex", 0},    {"big", 2147483647}, {"absent", 7}};
    for (const Case& c : cases) {
        EXPECT_EQ(profile::ReadInt("N", c.key, 7, strPath.c_str()), c.expected) << c.key;
    }
}

TEST(Profile, WriteKeepsUnrelatedLinesAndComments) {
    TempDir dir;
    std::string strPath = dir.file("e.ini");
    const std::string strOriginal =
        "; header comment\r\n"
        "[First]\r\n"
        "; about a\r\n"
        "a=1\r\n"
        "garbage line\r\n"
        "\r\n"
        "[Second]\r\n"
        "b=2\r\n";
    WriteFile(strPath, strOriginal);
    ASSERT_TRUE(profile::WriteString("first", "A", "one", strPath.c_str()));
    ASSERT_TRUE(profile::WriteString("First", "c", "3", strPath.c_str()));
    ASSERT_TRUE(profile::WriteString("Third", "d", "4", strPath.c_str()));
    EXPECT_EQ(ReadFile(strPath),
              "; header comment\r\n"
              "[First]\r\n"
              "; about a\r\n"
              "A=one\r\n"
              "garbage line\r\n"
              "c=3\r\n"
              "\r\n"
              "[Second]\r\n"
              "b=2\r\n"
              "[Third]\r\n"
              "d=4\r\n");
}

TEST(Profile, DeleteKeyAndSection) {
    TempDir dir;
    std::string strPath = dir.file("f.ini");
    WriteFile(strPath, "[A]\nx=1\ny=2\n; note\n[B]\nz=3\n[a]\nw=4\n");
    ASSERT_TRUE(profile::WriteString("A", "X", nullptr, strPath.c_str()));
    EXPECT_EQ(ReadFile(strPath), "[A]\ny=2\n; note\n[B]\nz=3\n[a]\nw=4\n");
    ASSERT_TRUE(profile::WriteString("a", nullptr, nullptr, strPath.c_str()));
    EXPECT_EQ(ReadFile(strPath), "[B]\nz=3\n") << "every section of the name goes, with its lines";
    ASSERT_TRUE(profile::WriteString("Missing", "k", nullptr, strPath.c_str()));
    EXPECT_EQ(ReadFile(strPath), "[B]\nz=3\n");
    // Deleting from a file that does not exist does not create it.
    std::string strAbsent = dir.file("absent.ini");
    ASSERT_TRUE(profile::WriteString("S", "k", nullptr, strAbsent.c_str()));
    EXPECT_NE(access(strAbsent.c_str(), F_OK), 0);
}

TEST(Profile, NewFileLineEndingsAndMissingFinalNewline) {
    TempDir dir;
    std::string strPath = dir.file("new.ini");
    ASSERT_TRUE(profile::WriteString("S", "k", "v", strPath.c_str()));
    EXPECT_EQ(ReadFile(strPath), "[S]\r\nk=v\r\n");
    std::string strUnix = dir.file("unix.ini");
    WriteFile(strUnix, "[S]\nk=v");
    ASSERT_TRUE(profile::WriteString("S", "k2", "v2", strUnix.c_str()));
    EXPECT_EQ(ReadFile(strUnix), "[S]\nk=v\nk2=v2\n");
}

TEST(Profile, RefusesWritesThatCannotBeStoredOrReachTheDisk) {
    TempDir dir;
    std::string strPath = dir.file("g.ini");
    WriteFile(strPath, "[S]\nk=v\n");
    EXPECT_FALSE(profile::WriteString("S", "k", "two\nlines", strPath.c_str()));
    EXPECT_FALSE(profile::WriteString("S", "bad=key", "v", strPath.c_str()));
    EXPECT_FALSE(profile::WriteString("S]x", "k", "v", strPath.c_str()));
    EXPECT_FALSE(profile::WriteString("", "k", "v", strPath.c_str()));
    EXPECT_FALSE(profile::WriteString(nullptr, "k", "v", strPath.c_str()));
    EXPECT_FALSE(profile::WriteString("S", "k", "v", nullptr));
    EXPECT_EQ(ReadFile(strPath), "[S]\nk=v\n") << "refused writes leave the file alone";
    EXPECT_FALSE(profile::WriteString("S", "k", "v", dir.file("no/such/folder/x.ini").c_str()));
    EXPECT_FALSE(profile::WriteString("S", "k", "v", dir.path().c_str())) << "a folder";
    std::string strLong = dir.path() + "/" + std::string(5000, 'n') + ".ini";
    EXPECT_FALSE(profile::WriteString("S", "k", "v", strLong.c_str()));
    EXPECT_EQ(Read("S", "k", "d", strLong), "d");
}

TEST(Profile, KeepsFileModeAcrossReplace) {
    TempDir dir;
    std::string strPath = dir.file("mode.ini");
    WriteFile(strPath, "[S]\n");
    chmod(strPath.c_str(), 0640);
    ASSERT_TRUE(profile::WriteString("S", "k", "v", strPath.c_str()));
    struct stat st;
    ASSERT_EQ(stat(strPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Profile, TwoProcessesWritingDifferentKeysLoseNeither) {
    TempDir dir;
    std::string strPath = dir.file("shared.ini");
    WriteFile(strPath, "; kept\n[Other]\nx=y\n");
    constexpr int kKeys = 40;
    auto writer = [&](const char* pszPrefix) {
        return [=]() {
            for (int i = 0; i < kKeys; ++i) {
                std::string strKey = std::string(pszPrefix) + std::to_string(i);
                if (!profile::WriteString("Shared", strKey.c_str(), "value", strPath.c_str()))
                    return 1;
            }
            return 0;
        };
    };
    pid_t a = qn::test::ForkChild(writer("a"));
    pid_t b = qn::test::ForkChild(writer("b"));
    EXPECT_EQ(qn::test::WaitChild(a), 0);
    EXPECT_EQ(qn::test::WaitChild(b), 0);
    auto entries = profile::ReadSectionEntries("Shared", strPath.c_str());
    EXPECT_EQ(entries.size(), 2u * kKeys);
    EXPECT_EQ(Read("Other", "x", "", strPath), "y");
    EXPECT_EQ(ReadFile(strPath).rfind("; kept\n", 0), 0u);
    // No temporary files are left behind.
    int cFiles = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
        ++cFiles;
    EXPECT_EQ(cFiles, 1);
}

TEST(ProfileText, ApplyWriteIsPureAndStable) {
    namespace detail = profile::detail;
    std::string out;
    ASSERT_TRUE(detail::ApplyWrite("", "S", "k", "v", &out));
    EXPECT_EQ(out, "[S]\r\nk=v\r\n");
    std::string again;
    ASSERT_TRUE(detail::ApplyWrite(out, "S", "k", "v", &again));
    EXPECT_EQ(again, out) << "writing the same value changes nothing";
    ASSERT_TRUE(detail::ApplyWrite("\r[S]\rk=1\r", "S", "k", "2", &out));
    EXPECT_EQ(out, "\r[S]\rk=2\r") << "old Mac line endings are kept";
}

TEST(Profile, AnUnreadableFileReadsAsDefaultsAndIsNotReplaced) {
    PermissionsBind bind;
    TempDir dir;
    std::string strPath = dir.file("locked.ini");
    WriteFile(strPath, "[S]\nk=v\n");
    chmod(strPath.c_str(), 0);
    EXPECT_EQ(Read("S", "k", "d", strPath), "d");
    EXPECT_FALSE(profile::WriteString("S", "k2", "v2", strPath.c_str()));
    chmod(strPath.c_str(), 0600);
    EXPECT_EQ(ReadFile(strPath), "[S]\nk=v\n");
}

TEST(Profile, SymbolicLinksAreFollowedAndFifosNeverHang) {
    TempDir dir;
    std::string strTarget = dir.file("target.ini");
    WriteFile(strTarget, "[S]\nk=v\n");
    std::string strLink = dir.file("link.ini");
    ASSERT_EQ(symlink(strTarget.c_str(), strLink.c_str()), 0);
    ASSERT_TRUE(profile::WriteString("S", "k2", "v2", strLink.c_str()));
    struct stat st;
    ASSERT_EQ(lstat(strLink.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    EXPECT_EQ(ReadFile(strTarget), "[S]\nk=v\nk2=v2\n");

    std::string strFifo = dir.file("fifo.ini");
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    EXPECT_EQ(Read("S", "k", "d", strFifo), "d");
    EXPECT_FALSE(profile::WriteString("S", "k", "v", strFifo.c_str()));
}

TEST(Profile, AChangeThatThrowsReleasesTheFileLock) {
    TempDir dir;
    std::string strPath = dir.file("t.ini");
    WriteFile(strPath, "[S]\nk=v\n");
    EXPECT_THROW(
        profile::detail::LockedReplace(
            strPath, [](const std::string&, std::string*) -> bool { throw std::bad_alloc(); }),
        std::bad_alloc);
    // A lock left behind would make this write wait for ever.
    pid_t pid = qn::test::ForkChild(
        [&] { return profile::WriteString("S", "k2", "v2", strPath.c_str()) ? 0 : 1; });
    EXPECT_EQ(qn::test::WaitChild(pid), 0);
    EXPECT_TRUE(profile::WriteString("S", "k3", "v3", strPath.c_str()));
    EXPECT_EQ(ReadFile(strPath), "[S]\nk=v\nk2=v2\nk3=v3\n");
}
