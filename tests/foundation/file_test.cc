#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "foundation/file.h"
#include "foundation/prefs.h"
#include "foundation/qnstatus.h"
#include "foundation/syslog.h"
#include "testsupport.h"

using qn::test::TempDir;
using qn::test::WriteFile;

TEST(File, NamePartsOfAbsolutePaths) {
    struct Case {
        const char* path;
        const char* full;
        const char* directory;
        const char* name;
        const char* extension;
        const char* display;
    };
    const Case cases[] = {
        {"/data/Catalogs/Main.VFC", "/data/Catalogs/Main.VFC", "/data/Catalogs", "Main.VFC", "VFC",
         "Main.VFC"},
        {"/data//x/./y/../file.tar.gz", "/data/x/file.tar.gz", "/data/x", "file.tar.gz", "gz",
         "file.tar.gz"},
        {"/data/dir.d/noext", "/data/dir.d/noext", "/data/dir.d", "noext", "", "noext"},
        {"/data/dir/", "/data/dir/", "/data/dir", "", "", "/data/dir/"},
        {"/", "/", "/", "", "", "/"},
        {"/top", "/top", "/", "top", "", "top"},
        {"/../..", "/", "/", "", "", "/"},
        {"/a/.hidden", "/a/.hidden", "/a", ".hidden", "hidden", ".hidden"},
    };
    for (const Case& c : cases) {
        CQNFile file(c.path);
        EXPECT_STREQ(file.FullName(), c.full) << c.path;
        EXPECT_STREQ(file.Name(), c.name) << c.path;
        EXPECT_STREQ(file.Extension(), c.extension) << c.path;
        EXPECT_STREQ(file.DisplayName(), c.display) << c.path;
        EXPECT_STREQ(file.Directory(), c.directory) << c.path;
        EXPECT_STREQ(file.FullName(), c.full) << c.path;
    }
}

TEST(File, DirectoryAndFullNameShareOneBuffer) {
    CQNFile file("/srv/Catalogs/Mixed.Case.vfc");
    const char* pszDirectory = file.Directory();
    EXPECT_STREQ(pszDirectory, "/srv/Catalogs");
    EXPECT_STREQ(file.Name(), "Mixed.Case.vfc") << "the name survives the directory view";
    const char* pszFull = file.FullName();
    EXPECT_EQ(pszFull, pszDirectory);
    EXPECT_STREQ(pszDirectory, "/srv/Catalogs/Mixed.Case.vfc") << "the earlier string changed";
    file.Directory();
    EXPECT_STREQ(pszFull, "/srv/Catalogs") << "and back";
    EXPECT_TRUE(file.Exists() == false);
}

TEST(File, ExistsAndDriveTypeSeeTheWholeNameWhileTheDirectoryViewIsOut) {
    TempDir dir;
    CQNFile missing(dir.file("missing.vfc").c_str());
    EXPECT_STREQ(missing.Directory(), dir.path().c_str());
    EXPECT_FALSE(missing.Exists()) << "the file is missing even though its folder exists";
    EXPECT_EQ(missing.DriveType(), CQNFile(dir.path().c_str()).DriveType());
    EXPECT_STREQ(missing.Directory(), dir.path().c_str()) << "the directory view stays out";

    WriteFile(dir.file("present.vfc"), "x");
    CQNFile present(dir.file("present.vfc").c_str());
    present.Directory();
    EXPECT_TRUE(present.Exists());
    EXPECT_STREQ(present.FullName(), dir.file("present.vfc").c_str());
}

TEST(File, RelativePathsBecomeAbsoluteAndKeepTheirCase) {
    TempDir dir;
    char szOld[4096];
    ASSERT_NE(getcwd(szOld, sizeof szOld), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    WriteFile(dir.file("Data.TXT"), "12345");
    CQNFile file("./sub/../Data.TXT");
    EXPECT_EQ(std::string(file.FullName()), dir.file("Data.TXT"));
    EXPECT_TRUE(file.Exists());
    EXPECT_EQ(file.Size(), 5u);
    EXPECT_FALSE(file.IsDirectory());
    EXPECT_EQ(file.Attributes() & QN_A_ARCH, QN_A_ARCH);
    CQNFile lower("data.txt");
    EXPECT_FALSE(lower.Exists()) << "names keep their case";
    ASSERT_EQ(chdir(szOld), 0);
}

TEST(File, EmptyNullAndOverLongPaths) {
    CQNFile none(nullptr);
    EXPECT_STREQ(none.FullName(), "");
    EXPECT_FALSE(none.Exists());
    EXPECT_STREQ(none.DisplayName(), "");
    EXPECT_EQ(none.DriveType(), 0u);
    CQNFile empty("");
    EXPECT_FALSE(empty.Exists());
    std::string strLong = "/" + std::string(QN_MAX_PATH + 10, 'a');
    CQNFile tooLong(strLong.c_str());
    EXPECT_STREQ(tooLong.FullName(), "") << "a path that cannot be made absolute leaves it empty";
    EXPECT_FALSE(tooLong.Exists());
    std::string strDeep;
    for (int i = 0; i < 3000; ++i)
        strDeep += "/x";
    CQNFile deep(strDeep.c_str());
    EXPECT_TRUE(deep.Exists() == false);
}

TEST(File, AttributesOfDirectoriesAndSpecialEntries) {
    TempDir dir;
    mkdir(dir.file(".hid").c_str(), 0700);
    CQNFile hidden(dir.file(".hid").c_str());
    EXPECT_TRUE(hidden.IsDirectory());
    EXPECT_TRUE(hidden.IsHidden());
    EXPECT_FALSE(hidden.IsDotOrDotDot());
    CQNFile root("/");
    EXPECT_TRUE(root.IsDirectory());
    EXPECT_TRUE(root.Exists());
    CQNFile dev("/dev/null");
    EXPECT_TRUE(dev.IsSystem());
    EXPECT_FALSE(dev.IsVolumeLabel());
    {
        // Root may write anything: the read-only test runs with that privilege dropped.
        qn::test::PermissionsBind bind;
        WriteFile(dir.file("ro"), "x");
        chmod(dir.file("ro").c_str(), 0444);
        CQNFile ro(dir.file("ro").c_str());
        EXPECT_TRUE(ro.IsReadOnly());
        EXPECT_FALSE(CQNFile(dir.file("missing").c_str()).IsReadOnly());
    }
    CQNFile volume("/", nullptr);
    EXPECT_TRUE(volume.IsVolumeLabel());
    EXPECT_EQ(CQNFile(dir.path().c_str()).DriveType() >= 3u, true);
    EXPECT_EQ(CQNFile("/no/such/path/anywhere").DriveType() >= 3u, true)
        << "the nearest folder decides";
}

TEST(File, MakeAndSplitPath) {
    CQNFile file;
    EXPECT_TRUE(file.MakePath(nullptr, "/var/backup", "Cat", "vfc"));
    EXPECT_STREQ(file.FullName(), "/var/backup/Cat.vfc");
    EXPECT_TRUE(file.MakePath("C:", "/var/backup/", "Cat", ".d00"));
    EXPECT_STREQ(file.FullName(), "/var/backup/Cat.d00");
    std::string strDrive = "?", strDir, strName, strExt;
    file.SplitPath(&strDrive, &strDir, &strName, &strExt);
    EXPECT_EQ(strDrive, "");
    EXPECT_EQ(strDir, "/var/backup/");
    EXPECT_EQ(strName, "Cat");
    EXPECT_EQ(strExt, ".d00");
    file.SplitPath(nullptr, nullptr, &strName, nullptr);
    EXPECT_EQ(strName, "Cat");
}

TEST(File, DosDateAndTime) {
    struct tm tmLocal = {};
    tmLocal.tm_year = 2024 - 1900;
    tmLocal.tm_mon = 2;  // March
    tmLocal.tm_mday = 15;
    tmLocal.tm_hour = 13;
    tmLocal.tm_min = 45;
    tmLocal.tm_sec = 31;
    tmLocal.tm_isdst = -1;
    time_t t = mktime(&tmLocal);
    uint16_t wDate = 0, wTime = 0;
    QNTimeToDosDateTime(t, &wDate, &wTime);
    EXPECT_EQ(wDate, 15 + 32 * 3 + 512 * (2024 - 1980));
    EXPECT_EQ(wTime, 13 * 2048 + 45 * 32 + 31 / 2);
    EXPECT_EQ(QNDosDateTimeToTime(wDate, wTime), t - 1) << "two-second steps";
    QNTimeToDosDateTime(0, &wDate, &wTime);
    EXPECT_EQ(wDate, 0x21) << "before 1980";
    EXPECT_EQ(wTime, 0);
}

TEST(File, DirectorySearchWithMasks) {
    TempDir dir;
    WriteFile(dir.file("a.vfc"), "1");
    WriteFile(dir.file("b.d00"), "22");
    WriteFile(dir.file(".hidden.vfc"), "333");
    mkdir(dir.file("sub.vfc").c_str(), 0700);
    auto search = [&](const std::string& strPattern, unsigned uMask) {
        std::set<std::string> names;
        QN_FIND_T find;
        unsigned rc = QNFindFirst(strPattern.c_str(), uMask, &find);
        while (rc == QN_FIND_OK) {
            names.insert(find.name);
            rc = QNFindNext(&find);
        }
        EXPECT_EQ(rc, QN_FIND_NO_MORE_FILES);
        EXPECT_EQ(find.hSearch, nullptr) << "the end closes the search";
        return names;
    };
    EXPECT_EQ(search(dir.path() + "/*.*", 0),
              (std::set<std::string>{"a.vfc", "b.d00", ".hidden.vfc"}));
    EXPECT_EQ(search(dir.path() + "/*.vfc", QN_A_LOOKUP_MASK),
              (std::set<std::string>{"a.vfc", ".hidden.vfc", "sub.vfc"}));
    EXPECT_EQ(search(dir.path() + "/*", QN_A_SUBDIR),
              (std::set<std::string>{".", "..", "sub.vfc"}));
    EXPECT_EQ(search(dir.path() + "/*", QN_A_HIDDEN), (std::set<std::string>{".hidden.vfc"}));
    EXPECT_EQ(search(dir.path() + "/b.d00", 0), (std::set<std::string>{"b.d00"}));
    EXPECT_TRUE(search(dir.path() + "/none*", 0).empty());
    EXPECT_TRUE(search(dir.file("missing/*.*"), 0).empty());
    EXPECT_TRUE(search("", 0).empty());

    QN_FIND_T find;
    ASSERT_EQ(QNFindFirst((dir.path() + "/b.d00").c_str(), 0, &find), QN_FIND_OK);
    EXPECT_EQ(find.size, 2u);
    EXPECT_EQ(find.attrib, QN_A_ARCH);
    EXPECT_GT(find.wr_date, 0x21);
    CQNFile found(dir.path().c_str(), &find);
    EXPECT_EQ(std::string(found.FullName()), dir.file("b.d00"));
    EXPECT_EQ(found.Size(), 2u);
    QNFindClose(&find);
    QNFindClose(&find);  // closing twice is harmless

    ASSERT_EQ(QNFindFirst((dir.path() + "/.").c_str(), QN_A_SUBDIR, &find), QN_FIND_OK);
    CQNFile dot(dir.path().c_str(), &find);
    EXPECT_TRUE(dot.IsDotOrDotDot());
    QNFindClose(&find);
}

TEST(File, OpenFailuresBecomeConditions) {
    qn::test::IsolatedEnvironment env;
    TempDir dir;
    CQNStatus status;
    std::string strMissing = dir.file("missing/file.txt");
    CQNFile missing(strMissing.c_str(), CQNFile::modeRead, status);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(status.Code(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(status.Description(), "No such file or directory (" + strMissing + ")");

    std::string strPath = dir.file("out.bin");
    CQNFile out(strPath.c_str(), CQNFile::modeCreate | CQNFile::modeWrite, status);
    ASSERT_TRUE(out.IsOpen());
    EXPECT_TRUE(out.Write("hello", 5));
    EXPECT_EQ(out.GetLength(), 5);
    out.Close();
    CQNFile in(strPath.c_str(), CQNFile::modeRead, status);
    char buf[8] = {};
    EXPECT_EQ(in.Read(buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(in.Seek(1, CQNFile::begin), 1);
    EXPECT_EQ(status.Code(), static_cast<uint32_t>(ENOENT)) << "successful opens add nothing";

    std::string strLong = dir.path() + "/" + std::string(QN_MAX_PATH, 'l');
    CQNFile tooLong(strLong.c_str(), CQNFile::modeRead, status);
    EXPECT_EQ(status.Code(), static_cast<uint32_t>(ENAMETOOLONG));
}

TEST(File, AssigningToAnOpenFileAssertsAndCloses) {
    qn::test::IsolatedEnvironment env;
    QNSysLogDetach();
    std::string strLog = env.file("log.txt");
    QNPrefSetString("SystemLog", "AssertionChecking", "1", "QNCLIENT.INI");
    QNPrefSetString("SystemLog", "TracingFilter", "1", "QNCLIENT.INI");
    QNPrefSetString("SystemLog", "LogFilename", strLog.c_str(), "QNCLIENT.INI");
    {
        CQNStatus status;
        CQNFile file(strLog.c_str(), CQNFile::modeRead, status);
        ASSERT_TRUE(file.IsOpen());
        file = "/tmp/other";
        EXPECT_FALSE(file.IsOpen());
        EXPECT_STREQ(file.FullName(), "/tmp/other");
    }
    std::string strText = qn::test::ReadFile(strLog);
    EXPECT_NE(strText.find("ENTER: CQNFile::CQNFile(PCSZ,UINT,CQNStatus&)...\r\n"),
              std::string::npos);
    EXPECT_NE(strText.find("ENTER: CQNFile::operator=(PCSZ)...\r\n"), std::string::npos);
    EXPECT_NE(strText.find("Assertion (m_hFile == hFileNull) failed in QNFILE"), std::string::npos);
    EXPECT_NE(strText.find("ENTER: CQNFile::~CQNFile()...\r\n"), std::string::npos);
    QNSysLogDetach();
}
