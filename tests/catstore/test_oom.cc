// Allocation failures inside the lifecycle calls: each one ends the call with Out Of Memory (or
// its own status), and nothing of the failed call stays registered, so the next open works.
#include <cstdlib>
#include <new>

#include "board.h"
#include "catalog_fixture.h"
#include "groups.h"
#include "users.h"

namespace {

// The global allocator of this test program fails the allocation that the countdown names.
thread_local long t_nCountdown = -1;
thread_local long t_nCounted = 0;

void* Allocate(std::size_t cb) {
    if (t_nCountdown >= 0 && t_nCountdown-- == 0) {
        throw std::bad_alloc();
    }
    ++t_nCounted;
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
void* operator new(std::size_t cb, const std::nothrow_t&) noexcept {
    try {
        return Allocate(cb);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t cb, const std::nothrow_t&) noexcept {
    try {
        return Allocate(cb);
    } catch (...) {
        return nullptr;
    }
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

using namespace cstest;

class OutOfMemoryTest : public CatalogTest {};

// Opens ann's session with the allocation number nFail failing (-1: none).
static BOARD_OBJECT* OpenFailing(const std::string& strPath, long nFail, EXSM_STATUS* pst) {
    t_nCounted = 0;
    t_nCountdown = nFail;
    BOARD_OBJECT* hbrd =
        EXBoardOpen(strPath.c_str(), "ann", "pw", EX_OPEN_SHARED, 0, 0, 0, nullptr, pst);
    t_nCountdown = -1;
    return hbrd;
}

TEST_F(OutOfMemoryTest, EveryFailedAllocationOfAnOpenLeavesNothingRegistered) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    ASSERT_NE(AddUser(hbrd, "ann", "pw"), 0);
    ASSERT_EQ(AddGroupWithMember(hbrd, "staff", "ann"), EXSM_SUCCESS);
    EXBoardClose(hbrd, &st);

    hbrd = OpenFailing(m_strPath, -1, &st);
    ASSERT_NE(hbrd, nullptr);
    long cAllocations = t_nCounted;
    ASSERT_EQ(hbrd->pCurrentGroups->entries.size(), 1u);  // staff
    ASSERT_EQ(hbrd->pAllUsers->entries.size(), 2u);       // SYSTEM, ann
    EXBoardClose(hbrd, &st);
    ASSERT_GT(cAllocations, 10);

    long nStride = cAllocations > 400 ? cAllocations / 400 : 1;
    for (long n = 0; n < cAllocations; n += nStride) {
        hbrd = OpenFailing(m_strPath, n, &st);
        if (hbrd != nullptr) {
            // The failed allocation was one the open can do without, and none of its lists:
            // a list that could not be filled fails the open.
            EXPECT_EQ(hbrd->pCurrentGroups->entries.size(), 1u) << "allocation " << n;
            EXPECT_EQ(hbrd->pAllUsers->entries.size(), 2u) << "allocation " << n;
            EXBoardClose(hbrd, &st);
        } else {
            EXPECT_EQ(st, EXSM_OUT_OF_MEMORY) << "allocation " << n;
        }
        // Nothing of the failed open is left: the process can open the catalog again.
        BOARD_OBJECT* hAgain = OpenFailing(m_strPath, -1, &st);
        ASSERT_NE(hAgain, nullptr) << "after allocation " << n << ": " << EXStatusText(st);
        EXBoardClose(hAgain, &st);
    }
}

TEST_F(OutOfMemoryTest, EveryFailedAllocationOfAConnectLeavesNothingRegistered) {
    MakeCatalog();
    EXSM_STATUS st;
    t_nCounted = 0;
    BOARD_OBJECT* hbrd = EXBoardConnect(m_strPath.c_str(), EX_OPEN_SHARED, &st);
    long cAllocations = t_nCounted;
    ASSERT_NE(hbrd, nullptr);
    EXBoardClose(hbrd, &st);
    for (long n = 0; n < cAllocations; ++n) {
        t_nCountdown = n;
        hbrd = EXBoardConnect(m_strPath.c_str(), EX_OPEN_SHARED, &st);
        t_nCountdown = -1;
        if (hbrd != nullptr) {
            EXBoardClose(hbrd, &st);
        } else {
            EXPECT_EQ(st, EXSM_OUT_OF_MEMORY) << "allocation " << n;
        }
        BOARD_OBJECT* hAgain = EXBoardConnect(m_strPath.c_str(), EX_OPEN_SHARED, &st);
        ASSERT_NE(hAgain, nullptr) << "after allocation " << n << ": " << EXStatusText(st);
        EXBoardClose(hAgain, &st);
    }
}

// The item calls under allocation failures: each failed call leaves the catalog, its cache and
// its lists usable, and what was stored is what the lists show.
class ItemOutOfMemoryTest : public CatalogTest {
  protected:
    void SetUp() override {
        MakeCatalog();
        EXSM_STATUS st;
        m_hbrd = Open("SYSTEM", "", &st);
        ASSERT_NE(m_hbrd, nullptr);
        m_hRoot = EXBoardGetRootFolder(m_hbrd);
        m_hFolder = NewFolder("folder");
        ASSERT_NE(m_hFolder, nullptr);
    }
    void TearDown() override {
        EXSM_STATUS st;
        EXBoardClose(m_hbrd, &st);
    }
    ITEM_OBJECT* NewFolder(const char* pszName) {
        EXSM_STATUS st;
        EX_ITEMINFO info{};
        info.type = 4;
        info.itemaccesslevel = 1;
        std::snprintf(info.itemname, sizeof info.itemname, "%s", pszName);
        ITEM_OBJECT* h = EXItemNew(&st, &info);
        EXItemObjectSetFolder(h);
        EXItemCreate(m_hbrd, m_hRoot, h, &st);
        return st == EXSM_SUCCESS ? h : nullptr;
    }
    // The folder's items as a fresh list sees them.
    long Listed() {
        EXSM_STATUS st;
        ITEM_ITERATOR* p = EXFolderGetItems(m_hbrd, m_hFolder, 1, 2, nullptr, 0, &st);
        EXPECT_NE(p, nullptr) << EXStatusText(st);
        long n = EXItemIteratorCount(p);
        EXItemIteratorRelease(p, 1);
        return n;
    }
    BOARD_OBJECT* m_hbrd = nullptr;
    ITEM_OBJECT* m_hRoot = nullptr;
    ITEM_OBJECT* m_hFolder = nullptr;
};

TEST_F(ItemOutOfMemoryTest, CreatesListsAndSendsSurviveEveryFailedAllocation) {
    EXSM_STATUS st;
    // An open list takes in every create it can.
    ITEM_ITERATOR* pOpen = EXFolderGetItems(m_hbrd, m_hFolder, 1, 2, nullptr, 0, &st);
    ASSERT_NE(pOpen, nullptr);
    auto create = [&](long nFail, const char* pszName) {
        EX_ITEMINFO info{};
        info.type = 1;
        info.itemaccesslevel = 1;
        std::snprintf(info.itemname, sizeof info.itemname, "%s", pszName);
        info.pszNote =
            "a note long enough to be stored in several chunks of the store, "
            "so that the create allocates for it too";
        t_nCounted = 0;
        t_nCountdown = nFail;
        ITEM_OBJECT* h = EXItemNew(&st, &info);
        if (h != nullptr) {
            EXItemCreate(m_hbrd, m_hFolder, h, &st);
        }
        t_nCountdown = -1;
        bool fStored = h != nullptr && EXItemGetID(h) != 0 && st == EXSM_SUCCESS;
        if (h != nullptr) {
            EXSM_STATUS stRelease;
            EXItemRelease(h, &stRelease);
        }
        return fStored;
    };
    ASSERT_TRUE(create(-1, "counted"));
    long cAllocations = t_nCounted;
    ASSERT_GT(cAllocations, 10);
    long cStored = 1;
    for (long n = 0; n < cAllocations; ++n) {
        char ach[32];
        std::snprintf(ach, sizeof ach, "item %03ld", n);
        bool fStored = create(n, ach);
        if (!fStored) {
            EXPECT_TRUE(st == EXSM_OUT_OF_MEMORY || st == EXSM_SUCCESS) << EXStatusText(st);
        }
        // A create reported as failed stored nothing; the catalog goes on working.
        long cListed = Listed();
        ASSERT_EQ(cListed, cStored + (fStored ? 1 : 0)) << "allocation " << n;
        cStored = cListed;
    }
    EXItemIteratorRelease(pOpen, 1);

    // A list fetch with each allocation failing in turn, and the send of a refresh.
    t_nCounted = 0;
    ITEM_ITERATOR* p = EXFolderGetItems(m_hbrd, m_hFolder, 1, 2, nullptr, 0, &st);
    cAllocations = t_nCounted;
    EXItemIteratorRelease(p, 1);
    long nStride = cAllocations > 300 ? cAllocations / 300 : 1;
    for (long n = 0; n < cAllocations; n += nStride) {
        t_nCountdown = n;
        p = EXFolderGetItems(m_hbrd, m_hFolder, 1, 2, nullptr, 0, &st);
        t_nCountdown = -1;
        if (p == nullptr) {
            EXPECT_EQ(st, EXSM_OUT_OF_MEMORY);
        } else {
            EXPECT_LE(EXItemIteratorCount(p), cStored);
            EXItemIteratorRelease(p, 1);
        }
        ASSERT_EQ(Listed(), cStored) << "allocation " << n;
    }
    ITEM_ITERATOR* pWatched = EXFolderGetItems(m_hbrd, m_hFolder, 1, 2, nullptr, 0, &st);
    for (long n = 0; n < 200; n += 7) {
        t_nCountdown = n;
        EXBoardRefresh(m_hbrd, &st);
        t_nCountdown = -1;
        // The next send runs: a create in this process reaches the open list.
        long cBefore = EXItemIteratorCount(pWatched);
        char ach[32];
        std::snprintf(ach, sizeof ach, "after %03ld", n);
        ASSERT_TRUE(create(-1, ach));
        EXPECT_EQ(EXItemIteratorCount(pWatched), cBefore + 1) << "allocation " << n;
    }
    EXItemIteratorRelease(pWatched, 1);
}

// Another process's change taken in while allocations fail: the call answers as always and the
// catalog, its lists and the next change taken in are fine.
TEST_F(ItemOutOfMemoryTest, TakingInAChangeEntrySurvivesEveryFailedAllocation) {
    EXSM_STATUS st;
    EX_ITEMINFO info{};
    info.type = 1;
    info.itemaccesslevel = 1;
    std::snprintf(info.itemname, sizeof info.itemname, "%s", "changed elsewhere");
    ITEM_OBJECT* hItem = EXItemNew(&st, &info);
    EXItemCreate(m_hbrd, m_hFolder, hItem, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    ITEM_ITERATOR* pOpen = EXFolderGetItems(m_hbrd, m_hFolder, 1, 2, nullptr, 0, &st);
    ASSERT_NE(pOpen, nullptr);
    EX_CHANGEENTRY entry{};
    entry.changeaccess = 1;
    entry.changefields = 0xFFFFFFFFu;
    entry.changeitemid = EXItemGetID(hItem);
    entry.changeparentid = EXItemGetID(m_hFolder);
    entry.changeuserid = 2;
    entry.changekind = EX_CHANGE_MODIFIED;
    t_nCounted = 0;
    ASSERT_EQ(ProcessChangeEntry(&entry, 0, m_hbrd), 1);
    const long cAllocations = t_nCounted;
    ASSERT_GT(cAllocations, 0);
    for (long n = 0; n < cAllocations; ++n) {
        t_nCountdown = n;
        const int nResult = ProcessChangeEntry(&entry, 0, m_hbrd);
        t_nCountdown = -1;
        EXPECT_EQ(nResult, 1) << "allocation " << n;
        EXBoardRefresh(m_hbrd, &st);
        EXPECT_EQ(st, EXSM_SUCCESS) << "allocation " << n;
    }
    EXPECT_EQ(ProcessChangeEntry(&entry, 0, m_hbrd), 1);
    EXPECT_EQ(Listed(), 1);
    EXItemIteratorRelease(pOpen, 1);
    EXItemRelease(hItem, &st);
}
