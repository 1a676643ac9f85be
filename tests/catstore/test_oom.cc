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
