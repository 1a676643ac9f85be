// Unread marks: other processes' changes mark items for the user, the marks survive a close
// and reopen, marking a folder read clears what is marked below it, a move moves the mark, and
// verification drops the marks of items that are gone.
#include <functional>
#include <string>
#include <vector>

#include "item_helpers.h"
#include "unread.h"

using namespace cstest;

namespace {

class UnreadTest : public CatalogTest {
  protected:
    void SetUp() override {
        LogTo(m_dir.file("log.txt"));
        MakeCatalog();
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = Open();
        ASSERT_NE(AddUser(hbrd, "reader", "r"), 0);
        ASSERT_NE(AddUser(hbrd, "writer", "w"), 0);
        ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
        ITEM_OBJECT* hF = NewItem(hbrd, hRoot, "F", 4);
        ITEM_OBJECT* hSub = NewItem(hbrd, hF, "sub", 4);
        ITEM_OBJECT* hG = NewItem(hbrd, hRoot, "G", 4);
        m_dwF = IdOf(hF);
        m_dwSub = IdOf(hSub);
        m_dwG = IdOf(hG);
        EXBoardClose(hbrd, &st);
        OpenReader();
    }
    void TearDown() override {
        EXSM_STATUS st;
        if (m_hbrd != nullptr) {
            EXBoardClose(m_hbrd, &st);
        }
    }
    void OpenReader() {
        EXSM_STATUS st;
        m_hbrd = Open("reader", "r", &st);
        ASSERT_NE(m_hbrd, nullptr) << EXStatusText(st);
    }
    bool AsWriter(const std::function<bool(BOARD_OBJECT*)>& fn) {
        return InOtherProcess(m_strPath, "writer", "w", fn);
    }
    static ITEM_OBJECT* Find(BOARD_OBJECT* h, uint32_t dwID) { return FindItem(h, dwID); }
    // The unread flags the reader's catalog gives an item.
    uint16_t Flags(uint32_t dwID) {
        EXSM_STATUS st;
        ITEM_OBJECT* h = EXItemFindByID(m_hbrd, dwID, nullptr, 0, &st);
        uint16_t w = EXItemObjectItemUnReadFlags(h);
        EXItemRelease(h, &st);
        return w;
    }
    void Refresh() {
        EXSM_STATUS st;
        EXBoardRefresh(m_hbrd, &st);
        ASSERT_EQ(st, EXSM_SUCCESS);
    }
    // Items the writer makes in a folder; their ids.
    std::vector<uint32_t> WriterMakes(uint32_t dwFolder, std::vector<std::string> names) {
        std::string strIds = m_dir.file("ids");
        EXPECT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
            std::string str;
            for (const std::string& name : names) {
                ITEM_OBJECT* hItem = NewItem(h, Find(h, dwFolder), name.c_str());
                if (hItem == nullptr) {
                    return false;
                }
                str += std::to_string(IdOf(hItem)) + "\n";
            }
            qn::test::WriteFile(strIds, str);
            return true;
        }));
        std::vector<uint32_t> ids;
        std::string strText = qn::test::ReadFile(strIds);
        for (size_t pos = 0, end; (end = strText.find('\n', pos)) != std::string::npos;
             pos = end + 1) {
            ids.push_back(static_cast<uint32_t>(std::stoul(strText.substr(pos, end - pos))));
        }
        return ids;
    }

    BOARD_OBJECT* m_hbrd = nullptr;
    uint32_t m_dwF = 0, m_dwSub = 0, m_dwG = 0;
};

}  // namespace

TEST_F(UnreadTest, OtherProcessesChangesMarkItemsAndTheMarksSurviveAReopen) {
    std::vector<uint32_t> ids = WriterMakes(m_dwF, {"one", "two"});
    Refresh();
    EXPECT_EQ(Flags(ids[0]), EX_UNREAD_CHANGED);
    // A note change adds its bit.
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        EXSM_STATUS s;
        ITEM_OBJECT* hItem = Find(h, ids[1]);
        EXItemObjectSetItemNote(hItem, "a note");
        EXItemObjectSetItemFieldFlags(hItem, EX_FIELD_NOTE);
        EXItemSetInfo(hItem, 0, &s);
        return s == EXSM_SUCCESS;
    }));
    Refresh();
    EXPECT_EQ(Flags(ids[1]), EX_UNREAD_CHANGED | EX_UNREAD_NOTE);
    EXSM_STATUS st;
    EXBoardClose(m_hbrd, &st);
    OpenReader();
    EXPECT_EQ(Flags(ids[0]), EX_UNREAD_CHANGED);
    EXPECT_EQ(Flags(ids[1]), EX_UNREAD_CHANGED | EX_UNREAD_NOTE);
    // Our own changes mark nothing for ourselves.
    ITEM_OBJECT* hF = Find(m_hbrd, m_dwF);
    ITEM_OBJECT* hMine = NewItem(m_hbrd, hF, "mine");
    Refresh();
    EXPECT_EQ(EXItemObjectItemUnReadFlags(hMine), 0);
    EX_MEMORYUSAGE usage{sizeof(EX_MEMORYUSAGE)};
    EXBoardMemoryUsage(m_hbrd, &usage, 0, &st);
    EXPECT_EQ(usage.dwUnreadCount, 2u);
    EXItemRelease(hMine, &st);
    EXItemRelease(hF, &st);
}

TEST_F(UnreadTest, MarkingAFolderReadClearsItsMarkedDescendantsEachReportedOnce) {
    std::vector<uint32_t> inF = WriterMakes(m_dwF, {"a", "b"});
    std::vector<uint32_t> inSub = WriterMakes(m_dwSub, {"deep"});
    std::vector<uint32_t> inG = WriterMakes(m_dwG, {"elsewhere"});
    Refresh();
    EXSM_STATUS st;
    // Handles that hear what marking read does.
    Recorder rec;
    std::vector<ITEM_OBJECT*> handles;
    for (uint32_t dw : {inF[0], inF[1], inSub[0], inG[0]}) {
        handles.push_back(EXItemFindByID(m_hbrd, dw, RecordCall, rec.Value(), &st));
        EXPECT_EQ(EXItemObjectItemUnReadFlags(handles.back()), EX_UNREAD_CHANGED);
    }
    // F has no mark of its own (the reader came after it was made): the marks of its children
    // go all the same. Marks are followed through marked items only: "sub" has none, so the
    // mark below it stays until "sub" is marked read.
    ITEM_OBJECT* hF = Find(m_hbrd, m_dwF);
    EXItemMarkAsRead(hF, 0, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    ASSERT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(Flags(inSub[0]), EX_UNREAD_CHANGED);
    ITEM_OBJECT* hSub = Find(m_hbrd, m_dwSub);
    EXItemMarkAsRead(hSub, 0, &st);
    EXItemRelease(hSub, &st);
    ASSERT_EQ(rec.calls.size(), 3u);
    for (const NotifierCall& c : rec.calls) {
        EXPECT_EQ(c.wKind, EX_CHANGE_MODIFIED);
        EXPECT_EQ(c.dwArgument, EX_FIELD_UNREADONLY);
        EXPECT_EQ(EXItemObjectItemUnReadFlags(c.hItem), 0);
    }
    EXPECT_EQ(Flags(inG[0]), EX_UNREAD_CHANGED);
    // An item without mark and without marked descendants changes nothing and reports nothing.
    rec.calls.clear();
    EXItemMarkAsRead(handles[0], 0, &st);
    EXPECT_TRUE(rec.calls.empty());
    for (ITEM_OBJECT* h : handles) {
        EXItemRelease(h, &st);
    }
    EXItemRelease(hF, &st);
}

TEST_F(UnreadTest, AMoveTakesTheMarkToTheNewFolder) {
    std::vector<uint32_t> ids = WriterMakes(m_dwF, {"mover"});
    Refresh();
    ASSERT_TRUE(
        AsWriter([&](BOARD_OBJECT* h) { return MoveStoredItem(h, ids[0], m_dwG) == DBSuccess; }));
    Refresh();
    EXSM_STATUS st;
    ITEM_OBJECT* hF = Find(m_hbrd, m_dwF);
    EXItemMarkAsRead(hF, 0, &st);
    EXPECT_EQ(Flags(ids[0]), EX_UNREAD_CHANGED);
    ITEM_OBJECT* hG = Find(m_hbrd, m_dwG);
    EXItemMarkAsRead(hG, 0, &st);
    EXPECT_EQ(Flags(ids[0]), 0);
    EXItemRelease(hF, &st);
    EXItemRelease(hG, &st);
}

TEST_F(UnreadTest, ASetOfAnotherUserIsReadVerifiedAndWrittenBack) {
    std::vector<uint32_t> ids = WriterMakes(m_dwF, {"kept", "gone"});
    Refresh();
    EXSM_STATUS st;
    EXBoardClose(m_hbrd, &st);  // writes the reader's marks back
    m_hbrd = nullptr;
    // An administrator looks at the reader's marks after an item went behind their back.
    BOARD_OBJECT* hAdmin = Open("SYSTEM", "", &st);
    ASSERT_NE(hAdmin, nullptr);
    ASSERT_EQ(DestroyStoredItem(hAdmin, ids[1]), DBSuccess);
    USER_OBJECT* hReader = EXUserFindByName(hAdmin, "reader", &st);
    UNREAD_SET* pSet = EXUnreadSetForUser(hAdmin, hReader, &st);
    ASSERT_NE(pSet, nullptr);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(pSet->Count(), 2u);
    EXUnreadSetVerify(hAdmin, pSet, 0);
    EXPECT_EQ(pSet->Count(), 1u);
    EXPECT_NE(pSet->Find(ids[0]), nullptr);
    EXUnreadSetFinalize(hAdmin, pSet);
    EXUnreadSetFinalize(hAdmin, nullptr);
    EXUserRelease(hReader, &st);
    EXBoardClose(hAdmin, &st);
    std::string strLog = qn::test::ReadFile(m_dir.file("log.txt"));
    EXPECT_EQ(
        CountOf(strLog, "UNREAD: Error, Non-existent item detected, ID=" + std::to_string(ids[1])),
        1u);
    OpenReader();
    EXPECT_EQ(Flags(ids[0]), EX_UNREAD_CHANGED);
    EX_MEMORYUSAGE usage{sizeof(EX_MEMORYUSAGE)};
    EXBoardMemoryUsage(m_hbrd, &usage, 0, &st);
    EXPECT_EQ(usage.dwUnreadCount, 1u);
}
