// The C interface of the catalog utilities, called from a C translation unit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "catalogs.h"
#include "testsupport.h"

extern "C" int CatdbuCApiRoundTrip(const char* pszCatalog, const char* pszDir,
                                   const char* pszRestoreDir);

TEST(CatdbuCApi, RoundTripFromC) {
    qn::test::IsolatedEnvironment env;
    qn::test::TempDir dir;
    const std::string strCatalog = dir.file("catalog.vfc");
    qn::test::catalogs::MakeCatalog(strCatalog, 100);
    ::mkdir(dir.file("backup").c_str(), 0755);
    ::mkdir(dir.file("restored").c_str(), 0755);
    EXPECT_EQ(CatdbuCApiRoundTrip(strCatalog.c_str(), dir.file("backup").c_str(),
                                  dir.file("restored").c_str()),
              0);
    EXPECT_EQ(qn::test::catalogs::Contents(dir.file("restored/catalog.vfc")),
              qn::test::catalogs::Contents(strCatalog));
}
