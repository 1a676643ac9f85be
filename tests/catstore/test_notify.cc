// Change notification between real processes and inside one: what reaches the open lists and
// the handles of a process after its refresh, in which order, with which kinds and indexes, and
// what notifier routines may do while a send runs.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "item_helpers.h"
#include "notify.h"

using namespace cstest;
using Names_t = std::vector<std::string>;

namespace {

class NotifyTest : public CatalogTest {
  protected:
    void SetUp() override {
        LogTo(m_dir.file("log.txt"));
        MakeCatalog();
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = Open();
        ASSERT_NE(AddUser(hbrd, "reader", "r"), 0);
        ASSERT_NE(AddUser(hbrd, "writer", "w"), 0);
        ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
        for (const char* pszName : {"F", "G"}) {
            ITEM_OBJECT* h = NewItem(hbrd, hRoot, pszName, 4);
            ASSERT_NE(h, nullptr);
            m_aFolders.push_back(IdOf(h));
        }
        EXBoardClose(hbrd, &st);
        m_hbrd = Open("reader", "r", &st);
        ASSERT_NE(m_hbrd, nullptr) << EXStatusText(st);
        m_hF = EXItemFindByID(m_hbrd, m_aFolders[0], nullptr, 0, &st);
        m_hG = EXItemFindByID(m_hbrd, m_aFolders[1], nullptr, 0, &st);
    }
    void TearDown() override {
        EXSM_STATUS st;
        if (m_hbrd != nullptr) {
            EXBoardClose(m_hbrd, &st);
        }
    }
    std::string Log() { return qn::test::ReadFile(m_dir.file("log.txt")); }

    bool AsWriter(const std::function<bool(BOARD_OBJECT*)>& fn) {
        return InOtherProcess(m_strPath, "writer", "w", fn);
    }
    // A value the writer's process hands back (through a file: its memory is its own).
    void Hand(const char* pszName, uint32_t dw) {
        qn::test::WriteFile(m_dir.file(pszName), std::to_string(dw));
    }
    uint32_t Handed(const char* pszName) {
        return static_cast<uint32_t>(std::stoul(qn::test::ReadFile(m_dir.file(pszName))));
    }
    static ITEM_OBJECT* Find(BOARD_OBJECT* h, uint32_t dwID) { return FindItem(h, dwID); }
    void Refresh() {
        EXSM_STATUS st;
        EXBoardRefresh(m_hbrd, &st);
        ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    }

    BOARD_OBJECT* m_hbrd = nullptr;
    std::vector<uint32_t> m_aFolders;
    ITEM_OBJECT* m_hF = nullptr;
    ITEM_OBJECT* m_hG = nullptr;
};

// The calls of a recorder without the unread-only ones that marks bring along.
std::vector<NotifierCall> Changes(const Recorder& rec) {
    std::vector<NotifierCall> v;
    for (const NotifierCall& c : rec.calls) {
        if (!(c.wKind == EX_CHANGE_MODIFIED && c.dwArgument == EX_FIELD_UNREADONLY)) {
            v.push_back(c);
        }
    }
    return v;
}

}  // namespace

TEST_F(NotifyTest, AnotherProcessesCreateRenameMoveAndDestroyReachTheOpenListsAtRefresh) {
    EXSM_STATUS st;
    uint32_t dwF = m_aFolders[0], dwG = m_aFolders[1];
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        ITEM_OBJECT* hF = Find(h, dwF);
        ITEM_OBJECT* hB = NewItem(h, hF, "b");
        ITEM_OBJECT* hD = NewItem(h, hF, "d");
        Hand("b", IdOf(hB));
        Hand("d", IdOf(hD));
        return hB != nullptr && hD != nullptr;
    }));
    const uint32_t dwB = Handed("b"), dwD = Handed("d");
    Recorder recF, recG;
    ITEM_ITERATOR* pF =
        EXFolderGetItems(m_hbrd, m_hF, 1, EX_SORT_NAME, RecordCall, recF.Value(), &st);
    ITEM_ITERATOR* pG =
        EXFolderGetItems(m_hbrd, m_hG, 1, EX_SORT_NAME, RecordCall, recG.Value(), &st);
    ASSERT_EQ(Names(pF), (Names_t{"b", "d"}));

    // Create: at its place in name order.
    ASSERT_TRUE(
        AsWriter([&](BOARD_OBJECT* h) { return NewItem(h, Find(h, dwF), "c") != nullptr; }));
    Refresh();
    std::vector<NotifierCall> calls = Changes(recF);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].wKind, EX_CHANGE_CREATED);
    EXPECT_EQ(calls[0].nIndex, 1);
    EXPECT_EQ(calls[0].strName, "c");
    EXPECT_EQ(calls[0].pIter, pF);
    EXPECT_EQ(Names(pF), (Names_t{"b", "c", "d"}));
    EXPECT_EQ(EXItemIteratorCount(pF), 3);
    ITEM_OBJECT* hC = EXItemIteratorSetIndex(pF, 1) ? EXItemIteratorCurrent(pF) : nullptr;
    const uint32_t dwM = IdOf(hC);

    // Rename: Modified on the handle's slot, with the new name in place.
    recF.calls.clear();
    ASSERT_TRUE(
        AsWriter([&](BOARD_OBJECT* h) { return Rename(Find(h, dwM), "m") == EXSM_SUCCESS; }));
    Refresh();
    calls = Changes(recF);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].wKind, EX_CHANGE_MODIFIED);
    EXPECT_EQ(calls[0].nIndex, 1);
    EXPECT_EQ(calls[0].strName, "m");
    EXPECT_EQ(calls[0].dwArgument & EX_FIELD_ITEM, EX_FIELD_ITEM);

    // Move to G: it leaves F from the slot it had and comes into G.
    recF.calls.clear();
    ASSERT_TRUE(
        AsWriter([&](BOARD_OBJECT* h) { return MoveStoredItem(h, dwM, dwG) == DBSuccess; }));
    Refresh();
    calls = Changes(recF);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].wKind, EX_CHANGE_MODIFIED);
    EXPECT_EQ(calls[0].nIndex, 1);
    EXPECT_EQ(calls[0].dwArgument, EX_FIELD_PARENT);
    EXPECT_EQ(Names(pF), (Names_t{"b", "d"}));
    calls = Changes(recG);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].wKind, EX_CHANGE_CREATED);
    EXPECT_EQ(calls[0].nIndex, 0);
    EXPECT_EQ(Names(pG), (Names_t{"m"}));

    // Destroy: the slot it occupied, and the handle after it reports one lower from then on.
    recF.calls.clear();
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) { return DestroyStoredItem(h, dwB) == DBSuccess; }));
    Refresh();
    calls = Changes(recF);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].wKind, EX_CHANGE_DESTROYED);
    EXPECT_EQ(calls[0].nIndex, 0);
    EXPECT_EQ(calls[0].dwArgument, 0xFFFFFFFFu);
    EXPECT_EQ(calls[0].strName, "b");
    EXPECT_EQ(Names(pF), (Names_t{"d"}));
    EXPECT_EQ(EXItemIteratorCount(pF), 1);
    recF.calls.clear();
    ASSERT_TRUE(
        AsWriter([&](BOARD_OBJECT* h) { return Rename(Find(h, dwD), "dd") == EXSM_SUCCESS; }));
    Refresh();
    calls = Changes(recF);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].nIndex, 0);

    // The log lines of a Destroyed call name the occupied slot too.
    EXPECT_NE(Log().find(std::string("NotifyItem: Destroyed  0x")), std::string::npos);
    EXPECT_NE(Log().find("[000], "), std::string::npos);
    EXItemIteratorRelease(pF, 1);
    EXItemIteratorRelease(pG, 1);
}

TEST_F(NotifyTest, AHandleWhoseItemWasDestroyedElsewhereKeepsItsLastCopy) {
    EXSM_STATUS st;
    ITEM_OBJECT* hItem = nullptr;
    {
        // Made by the writer so that its entry comes to the reader through the log.
        uint32_t dwF = m_aFolders[0];
        ASSERT_TRUE(AsWriter(
            [&](BOARD_OBJECT* h) { return NewItem(h, Find(h, dwF), "doomed") != nullptr; }));
        ITEM_ITERATOR* p = EXFolderGetItems(m_hbrd, m_hF, 1, EX_SORT_NAME, nullptr, 0, &st);
        hItem = EXItemAcquire(EXItemIteratorFirst(p), nullptr, 0, &st);
        EXItemIteratorRelease(p, 1);
    }
    Recorder rec;
    ITEM_OBJECT* hWatched = EXItemAcquire(hItem, RecordCall, rec.Value(), &st);
    uint32_t dwID = IdOf(hItem);
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) { return DestroyStoredItem(h, dwID) == DBSuccess; }));
    Refresh();
    std::vector<NotifierCall> calls = Changes(rec);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].wKind, EX_CHANGE_DESTROYED);
    EXPECT_EQ(calls[0].nIndex, -1);
    EXPECT_EQ(calls[0].pIter, nullptr);
    // Orphaned: readable and releasable, nothing else.
    EXPECT_EQ(NameOf(hItem), "doomed");
    EXPECT_EQ(EXItemGetID(hItem), dwID);
    EXPECT_EQ(EXItemObjectItemUnReadFlags(hItem), 0);
    EX_ITEMINFO info{};
    EXItemGetInfo(hItem, &info, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemSetInfo(hItem, 0, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemRelease(hItem, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXItemRelease(hWatched, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
}

TEST_F(NotifyTest, AnAccessChangeBringsAnItemIntoViewAndTakesItOut) {
    EXSM_STATUS st;
    uint32_t dwF = m_aFolders[0];
    // Private to user 77: the reader does not see it.
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        ITEM_OBJECT* hSecret = NewItem(h, Find(h, dwF), "secret", 1, nullptr, 3, 77);
        Hand("secret", IdOf(hSecret));
        return hSecret != nullptr && NewItem(h, Find(h, dwF), "open") != nullptr;
    }));
    const uint32_t dwSecret = Handed("secret");
    Recorder rec;
    ITEM_ITERATOR* pF =
        EXFolderGetItems(m_hbrd, m_hF, 1, EX_SORT_NAME, RecordCall, rec.Value(), &st);
    EXPECT_EQ(Names(pF), (Names_t{"open"}));
    auto setAccess = [&](uint32_t dwAccess) {
        return AsWriter([&](BOARD_OBJECT* h) {
            EXSM_STATUS s;
            ITEM_OBJECT* hItem = Find(h, dwSecret);
            EXItemSetAccess(hItem, &dwAccess, &s);
            EXItemObjectSetItemFieldFlags(hItem, EX_FIELD_ACCESS);
            EXItemSetInfo(hItem, 0, &s);
            return s == EXSM_SUCCESS;
        });
    };
    ASSERT_TRUE(setAccess(1));
    Refresh();
    std::vector<NotifierCall> calls = Changes(rec);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].wKind, EX_CHANGE_CREATED);
    EXPECT_EQ(calls[0].strName, "secret");
    EXPECT_EQ(Names(pF), (Names_t{"open", "secret"}));
    rec.calls.clear();
    ASSERT_TRUE(setAccess(3u | (77u << 16)));
    Refresh();
    calls = Changes(rec);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].wKind, EX_CHANGE_DESTROYED);
    EXPECT_EQ(calls[0].nIndex, 1);
    EXPECT_EQ(Names(pF), (Names_t{"open"}));
    EXItemIteratorRelease(pF, 1);
}

TEST_F(NotifyTest, ANotifierThatCreatesDuringASendIsDeliveredInTheSameSendAfterWhatWasQueued) {
    EXSM_STATUS st;
    uint32_t dwF = m_aFolders[0];
    Recorder rec;
    ITEM_ITERATOR* pF =
        EXFolderGetItems(m_hbrd, m_hF, 1, EX_SORT_NAME, RecordCall, rec.Value(), &st);
    ITEM_OBJECT* hMade = nullptr;
    rec.onCall = [&](const NotifierCall& c) {
        if (c.wKind == EX_CHANGE_CREATED && c.strName == "a1") {
            hMade = NewItem(m_hbrd, m_hF, "made inside");
        }
    };
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        return NewItem(h, Find(h, dwF), "a1") != nullptr &&
               NewItem(h, Find(h, dwF), "a2") != nullptr;
    }));
    Refresh();
    std::vector<NotifierCall> calls = Changes(rec);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].strName, "a1");
    EXPECT_EQ(calls[1].strName, "a2");
    EXPECT_EQ(calls[2].strName, "made inside");
    EXPECT_EQ(calls[2].wKind, EX_CHANGE_CREATED);
    EXPECT_EQ(Names(pF), (Names_t{"a1", "a2", "made inside"}));
    EXPECT_NE(Log().find("DEFER: EXNotifySendDeferred already in progress...\r\n"),
              std::string::npos);
    EXItemRelease(hMade, &st);
    EXItemIteratorRelease(pF, 1);
}

TEST_F(NotifyTest, RoutinesMayReleaseTheListOrHandleTheyHearAboutAndCloseTheCatalog) {
    EXSM_STATUS st;
    uint32_t dwF = m_aFolders[0];
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        return NewItem(h, Find(h, dwF), "x1") != nullptr &&
               NewItem(h, Find(h, dwF), "x2") != nullptr;
    }));
    Refresh();
    // A list released by the routine its first Created call runs: nothing more reaches it.
    Recorder recList;
    ITEM_ITERATOR* pF =
        EXFolderGetItems(m_hbrd, m_hF, 0, EX_SORT_NAME, RecordCall, recList.Value(), &st);
    recList.onCall = [&](const NotifierCall& c) {
        if (c.wKind == EX_CHANGE_CREATED) {
            EXItemRelease(c.hItem, nullptr);  // a list's handle: left alone
            EXItemIteratorRelease(c.pIter, 1);
        }
    };
    // A handle that releases itself when told its item changed.
    Recorder recHandle;
    ITEM_ITERATOR* pProbe = EXFolderGetItems(m_hbrd, m_hF, 1, EX_SORT_NAME, nullptr, 0, &st);
    ITEM_OBJECT* hSelf =
        EXItemAcquire(EXItemIteratorFirst(pProbe), RecordCall, recHandle.Value(), &st);
    EXItemIteratorRelease(pProbe, 1);
    recHandle.onCall = [&](const NotifierCall& c) {
        if (c.dwArgument != EX_FIELD_UNREADONLY) {
            EXItemRelease(c.hItem, nullptr);
        }
    };
    uint32_t dwX1 = IdOf(hSelf);
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        return NewItem(h, Find(h, dwF), "x0") != nullptr &&
               NewItem(h, Find(h, dwF), "x3") != nullptr &&
               Rename(Find(h, dwX1), "x1 renamed") == EXSM_SUCCESS;
    }));
    Refresh();
    EXPECT_EQ(recList.Count(EX_CHANGE_CREATED), 1u);
    EXPECT_EQ(EXItemIteratorCount(pF), 0);  // released: no list any more
    EXPECT_EQ(Changes(recHandle).size(), 1u);
    EXPECT_EQ(EXItemGetID(hSelf), 0u);

    // A routine that closes the catalog: it closes when the refresh that ran the routine returns.
    Recorder recClose;
    ITEM_ITERATOR* pG =
        EXFolderGetItems(m_hbrd, m_hG, 1, EX_SORT_NAME, RecordCall, recClose.Value(), &st);
    (void)pG;
    BOARD_OBJECT* hbrd = m_hbrd;
    recClose.onCall = [&](const NotifierCall& c) {
        if (c.wKind == EX_CHANGE_CREATED) {
            EXBoardClose(hbrd, nullptr);
        }
    };
    uint32_t dwG = m_aFolders[1];
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        return NewItem(h, Find(h, dwG), "g1") != nullptr &&
               NewItem(h, Find(h, dwG), "g2") != nullptr;
    }));
    EXBoardRefresh(m_hbrd, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(recClose.Count(EX_CHANGE_CREATED), 1u);  // the second one came after the close
    EXBoardRefresh(m_hbrd, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    m_hbrd = nullptr;
    // The process can open a catalog again.
    BOARD_OBJECT* hAgain = Open("reader", "r", &st);
    ASSERT_NE(hAgain, nullptr) << EXStatusText(st);
    EXBoardClose(hAgain, &st);
}

TEST_F(NotifyTest, TheQueueSendsEverythingInOrderAndGrowsAsNeeded) {
    EXSM_STATUS st;
    uint32_t dwF = m_aFolders[0];
    Recorder rec;
    ITEM_ITERATOR* pF =
        EXFolderGetItems(m_hbrd, m_hF, 1, EX_SORT_NAME, RecordCall, rec.Value(), &st);
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        for (int i = 0; i < 30; ++i) {
            char ach[16];
            std::snprintf(ach, sizeof ach, "n%02d", i);
            if (NewItem(h, Find(h, dwF), ach) == nullptr) {
                return false;
            }
        }
        return true;
    }));
    Refresh();
    std::vector<NotifierCall> calls = Changes(rec);
    ASSERT_EQ(calls.size(), 30u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].nIndex, static_cast<long>(i));
    }
    std::string strLog = Log();
    EXPECT_NE(strLog.find("DEFER: Entering EXNotifySendDeferred (30 events queued)...\r\n"),
              std::string::npos);
    EXPECT_NE(strLog.find("DEFER: Processing event 30 of 30...\r\n"), std::string::npos);
    // A send with nothing queued says so.
    Refresh();
    EXPECT_NE(Log().find("DEFER: Entering EXNotifySendDeferred (0 events queued)...\r\n"),
              std::string::npos);
    EXItemIteratorRelease(pF, 1);
}
