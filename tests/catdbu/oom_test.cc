// Allocation failures inside every export of the utilities: each call ends with a status (Out
// Of Memory, or the status of what it could not do), never with an exception in its C caller,
// and the catalog is left sound.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "catalogs.h"
#include "catdbu.h"
#include "testsupport.h"

namespace {

// The allocator of this program fails the allocation the countdown names.
long g_nCountdown = -1;
long g_nCounted = 0;

void* Allocate(std::size_t cb) {
    if (g_nCountdown >= 0 && g_nCountdown-- == 0) {
        throw std::bad_alloc();
    }
    ++g_nCounted;
    void* pv = std::malloc(cb != 0 ? cb : 1);
    if (pv == nullptr) {
        throw std::bad_alloc();
    }
    return pv;
}

}  // namespace

void* operator new(std::size_t cb) {
    return Allocate(cb);
}
void* operator new[](std::size_t cb) {
    return Allocate(cb);
}
void operator delete(void* pv) noexcept {
    std::free(pv);
}
void operator delete[](void* pv) noexcept {
    std::free(pv);
}
void operator delete(void* pv, std::size_t) noexcept {
    std::free(pv);
}
void operator delete[](void* pv, std::size_t) noexcept {
    std::free(pv);
}

namespace {

using namespace qn::test;
using namespace qn::test::catalogs;

class CatdbuOutOfMemoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_strCatalog = m_dir.file("catalog.vfc");
        m_strBackupDir = m_dir.file("backup");
        ::mkdir(m_strBackupDir.c_str(), 0755);
        MakeCatalog(m_strCatalog, 50);
        ASSERT_EQ(UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0), EXSM_SUCCESS);
    }

    // Runs the call once to count its allocations, then once with each of them failing.
    void FailEachAllocation(const char* pszCall, const std::function<EXSM_STATUS()>& call) {
        g_nCounted = 0;
        const EXSM_STATUS good = call();
        const long cAllocations = g_nCounted;
        ASSERT_GT(cAllocations, 0) << pszCall;
        const long nStride = cAllocations > 300 ? cAllocations / 300 : 1;
        for (long n = 0; n < cAllocations; n += nStride) {
            g_nCountdown = n;
            const EXSM_STATUS st = call();
            g_nCountdown = -1;
            EXPECT_TRUE(st == good || st == EXSM_OUT_OF_MEMORY ||
                        st == EXSM_CATALOG_BACKUP_FAILED || st == EXSM_CATALOG_RESTORE_FAILED ||
                        st == EXSM_CATALOG_CORRUPTED || st == EXSM_CATALOG_OPEN_ERROR ||
                        st == EXSM_INTERNAL_ERROR)
                << pszCall << ", allocation " << n << ": " << st;
            ASSERT_EQ(IntegrityOf(m_strCatalog), "ok") << pszCall << ", allocation " << n;
        }
        // Whatever failed before, the call works again.
        EXPECT_EQ(call(), good) << pszCall;
    }

    IsolatedEnvironment m_env;
    TempDir m_dir;
    std::string m_strCatalog;
    std::string m_strBackupDir;
};

TEST_F(CatdbuOutOfMemoryTest, EveryExportAnswersAStatus) {
    const std::string strBackup = m_strBackupDir + "/catalog.vfc";
    FailEachAllocation("UTBackUp",
                       [&] { return UTBackUp(m_strCatalog.c_str(), m_strBackupDir.c_str(), 0); });
    FailEachAllocation("UTRestore",
                       [&] { return UTRestore(strBackup.c_str(), m_dir.path().c_str(), 0); });
    FailEachAllocation("UTCheckFix", [&] { return UTCheckFix(m_strCatalog.c_str(), 0, 0); });
    FailEachAllocation("UTCheckFix repairing",
                       [&] { return UTCheckFix(m_strCatalog.c_str(), 1, 0); });
    FailEachAllocation("DB_KEYBUILD", [&] { return DB_KEYBUILD(m_strCatalog.c_str(), 0); });
    FailEachAllocation("DBUSetWorkPath", [&] {
        DBUSetWorkPath(m_dir.path().c_str());
        return EXSM_SUCCESS;
    });
    EXPECT_EQ(std::string(DBUGetWorkPath()), m_dir.path());
}

}  // namespace
