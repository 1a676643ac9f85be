#include <gtest/gtest.h>

#include <dlfcn.h>
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/liveobjects.h"
#include "qnplatform.h"

TEST(GlobalMemory, AllocLockWriteReallocKeepsContents) {
    QNHGLOBAL h = QNGlobalAlloc(QN_GHND, 8);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(QNGlobalSize(h), 8u);
    auto* p = static_cast<unsigned char*>(QNGlobalLock(h));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(p[i], 0) << "GHND blocks start zeroed";
    memcpy(p, "abcdefg", 8);
    EXPECT_EQ(QNGlobalUnlock(h), 0);

    ASSERT_EQ(QNGlobalReAlloc(h, 4096, QN_GMEM_ZEROINIT), h);
    EXPECT_EQ(QNGlobalSize(h), 4096u);
    p = static_cast<unsigned char*>(QNGlobalLock(h));
    EXPECT_STREQ(reinterpret_cast<char*>(p), "abcdefg");
    for (int i = 8; i < 4096; ++i)
        ASSERT_EQ(p[i], 0) << "added bytes are zero at " << i;
    QNGlobalUnlock(h);
    EXPECT_EQ(QNGlobalFree(h), nullptr);
}

TEST(GlobalMemory, LockCountsNest) {
    QNHGLOBAL h = QNGlobalAlloc(QN_GMEM_MOVEABLE, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(QNGlobalSize(h), 0u);
    EXPECT_NE(QNGlobalLock(h), nullptr) << "a zero-size block still has an address";
    QNGlobalLock(h);
    EXPECT_NE(QNGlobalUnlock(h), 0);
    EXPECT_EQ(QNGlobalUnlock(h), 0);
    EXPECT_EQ(QNGlobalUnlock(h), 0) << "unlocking an unlocked block stays at 0";
    QNGlobalFree(h);
}

TEST(GlobalMemory, InvalidAndFreedHandlesAreRefusedWithoutTouchingThem) {
    QNHGLOBAL h = QNGlobalAlloc(QN_GHND, 16);
    ASSERT_EQ(QNGlobalFree(h), nullptr);
    // h is now stale; none of these may touch its memory (ASan would catch it).
    EXPECT_EQ(QNGlobalLock(h), nullptr);
    EXPECT_EQ(QNGlobalSize(h), 0u);
    EXPECT_EQ(QNGlobalReAlloc(h, 32, 0), nullptr);
    EXPECT_EQ(QNGlobalFree(h), h) << "a second free reports the handle as invalid";
    EXPECT_EQ(QNGlobalFree(nullptr), nullptr);
    EXPECT_EQ(QNGlobalLock(nullptr), nullptr);
    int nLocal = 0;
    auto hBogus = reinterpret_cast<QNHGLOBAL>(&nLocal);
    EXPECT_EQ(QNGlobalLock(hBogus), nullptr);
    EXPECT_EQ(QNGlobalFree(hBogus), hBogus);
    EXPECT_EQ(nLocal, 0);
}

TEST(MessageBox, DefaultAnswersNeverBlock) {
    struct Case {
        unsigned uType;
        int nAnswer;
    };
    const Case cases[] = {
        {QN_MB_OK, QN_IDOK},
        {QN_MB_OKCANCEL, QN_IDCANCEL},
        {0x2011, QN_IDCANCEL},  // the assertion box
        {0x1010, QN_IDOK},      // the log's error box
        {QN_MB_YESNOCANCEL, QN_IDCANCEL},
        {QN_MB_RETRYCANCEL, QN_IDCANCEL},
        {QN_MB_YESNO, QN_IDYES},
        {QN_MB_YESNO | QN_MB_DEFBUTTON2, QN_IDNO},
        {QN_MB_ABORTRETRYIGNORE, QN_IDABORT},
        {QN_MB_ABORTRETRYIGNORE | QN_MB_DEFBUTTON2, QN_IDRETRY},
        {QN_MB_ABORTRETRYIGNORE | QN_MB_DEFBUTTON3, QN_IDIGNORE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QNDefaultMessageBoxAnswer(c.uType), c.nAnswer) << std::hex << c.uType;
        EXPECT_EQ(QNMessageBox("text", "caption", c.uType), c.nAnswer) << std::hex << c.uType;
    }
}

namespace {
struct Seen {
    std::vector<std::string> texts;
};
int Recorder(const char* pszText, const char* pszCaption, unsigned int uType, void* pContext) {
    static_cast<Seen*>(pContext)->texts.push_back(std::string(pszCaption) + "|" + pszText + "|" +
                                                  std::to_string(uType));
    return QN_IDRETRY;
}
}  // namespace

TEST(MessageBox, InstalledHandlerSeesEveryBoxUntilRemoved) {
    Seen seen;
    EXPECT_EQ(QNSetMessageBoxHandler(Recorder, &seen), nullptr);
    EXPECT_EQ(QNMessageBox("hello", "Title", 0x2011), QN_IDRETRY);
    EXPECT_EQ(QNMessageBox(nullptr, nullptr, 0), QN_IDRETRY);
    EXPECT_EQ(QNSetMessageBoxHandler(nullptr, nullptr), &Recorder);
    EXPECT_EQ(QNMessageBox("x", "y", QN_MB_OKCANCEL), QN_IDCANCEL);
    ASSERT_EQ(seen.texts.size(), 2u);
    EXPECT_EQ(seen.texts[0], "Title|hello|8209");
    EXPECT_EQ(seen.texts[1], "||0");
}

TEST(ProductName, DefaultSetCutAndRestore) {
    char sz[200];
    EXPECT_EQ(QNGetProductName(sz, sizeof sz), strlen("Zelto Bookmarks"));
    EXPECT_STREQ(sz, "Zelto Bookmarks");
    QNSetProductName("Other Product");
    QNGetProductName(sz, sizeof sz);
    EXPECT_STREQ(sz, "Other Product");
    char szSmall[6];
    EXPECT_EQ(QNGetProductName(szSmall, sizeof szSmall), strlen("Other Product"));
    EXPECT_STREQ(szSmall, "Other");
    QNSetProductName(std::string(300, 'p').c_str());
    EXPECT_EQ(QNGetProductName(sz, sizeof sz), 128u);
    QNSetProductName(nullptr);
    QNGetProductName(sz, sizeof sz);
    EXPECT_STREQ(sz, "Zelto Bookmarks");
}

TEST(Clock, TickCountMovesForward) {
    uint32_t t0 = QNGetTickCount();
    struct timespec ts = {0, 20 * 1000 * 1000};
    nanosleep(&ts, nullptr);
    uint32_t dt = QNGetTickCount() - t0;
    EXPECT_GE(dt, 19u);
    EXPECT_LT(dt, 5000u);
}

TEST(LiveObjects, RegisteredUnderItsKindOnly) {
    using namespace qn::platform;
    int a = 0, b = 0;
    uint32_t cBefore = CountLiveObjects(ObjectKind::Item);
    RegisterLiveObject(&a, ObjectKind::Item);
    RegisterLiveObject(&b, ObjectKind::User);
    EXPECT_TRUE(IsLiveObject(&a, ObjectKind::Item));
    EXPECT_FALSE(IsLiveObject(&a, ObjectKind::User)) << "a handle of another kind fails the check";
    EXPECT_FALSE(IsLiveObject(nullptr, ObjectKind::Item));
    EXPECT_EQ(CountLiveObjects(ObjectKind::Item), cBefore + 1);
    UnregisterLiveObject(&a);
    EXPECT_FALSE(IsLiveObject(&a, ObjectKind::Item)) << "a released object is no longer live";
    UnregisterLiveObject(&b);
    UnregisterLiveObject(&b);
    EXPECT_EQ(CountLiveObjects(ObjectKind::User), 0u);
}

extern "C" int QnPlatformFromC(void);

TEST(PublicHeaders, UsableFromPlainC) {
    EXPECT_EQ(QnPlatformFromC(), 0);
}

namespace {
int AnswerSeven(const char*, const char*, unsigned int, void*) {
    return 7;
}
}  // namespace

TEST(PublicHeaders, ALoadedLibraryUsesTheProgramsHandleTableAndBoxHandler) {
    void* pLib = dlopen(QN_PLATFORM_TESTLIB, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pLib, nullptr) << dlerror();
    auto pfnAllocate = reinterpret_cast<QNHGLOBAL (*)(size_t)>(dlsym(pLib, "TestLibAllocate"));
    auto pfnFree = reinterpret_cast<int (*)(QNHGLOBAL)>(dlsym(pLib, "TestLibFree"));
    auto pfnShowBox = reinterpret_cast<int (*)()>(dlsym(pLib, "TestLibShowBox"));
    ASSERT_TRUE(pfnAllocate && pfnFree && pfnShowBox);
    QNHGLOBAL h = pfnAllocate(10);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(QNGlobalSize(h), 10u) << "the program knows the library's block";
    EXPECT_EQ(QNGlobalFree(h), nullptr);
    QNHGLOBAL hMine = QNGlobalAlloc(QN_GHND, 3);
    EXPECT_EQ(pfnFree(hMine), 1) << "and the library knows the program's";
    QNSetMessageBoxHandler(AnswerSeven, nullptr);
    EXPECT_EQ(pfnShowBox(), 7) << "one box handler for the process";
    QNSetMessageBoxHandler(nullptr, nullptr);
    dlclose(pLib);
}
