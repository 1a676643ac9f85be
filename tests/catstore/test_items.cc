// Item handles and the single-item calls on real catalogs: create, information, write with the
// stale-copy check, refresh, finds, acquire and release, accessors, and bad handles.
#include <unistd.h>

#include <cstring>
#include <string>

#include "item_helpers.h"

using namespace cstest;

namespace {

class ItemTest : public CatalogTest {
  protected:
    void SetUp() override {
        MakeCatalog();
        EXSM_STATUS st;
        m_hbrd = Open("SYSTEM", "", &st);
        ASSERT_NE(m_hbrd, nullptr) << EXStatusText(st);
        m_hRoot = EXBoardGetRootFolder(m_hbrd);
        ASSERT_NE(m_hRoot, nullptr);
    }
    void TearDown() override {
        EXSM_STATUS st;
        if (m_hbrd != nullptr) {
            EXBoardClose(m_hbrd, &st);
        }
    }
    BOARD_OBJECT* m_hbrd = nullptr;
    ITEM_OBJECT* m_hRoot = nullptr;
};

}  // namespace

TEST_F(ItemTest, CreatedItemIsStoredWithItsPartsAndReadBackByEveryFind) {
    EXSM_STATUS st;
    EX_ITEMINFO info{};
    info.type = 1;
    std::strcpy(info.itemname, "Bookmark    ");  // blanks up to the end are cut off
    std::strcpy(info.itemdescription, "a description");
    info.pszNote = "the note";
    info.pszKeywords = "k1 k2";
    info.atttype = 2;
    info.attnameresourceid = 7;
    std::strcpy(info.attnamepath, "/Pages/Index.HTML");
    info.repositorytype = 1;
    info.blobReposLocation = {8, "location"};
    info.itemaccesslevel = 0;  // the parent's access
    ITEM_OBJECT* h = EXItemNew(&st, &info);
    ASSERT_NE(h, nullptr);
    EXItemCreate(m_hbrd, m_hRoot, h, &st);
    ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    uint32_t dwID = IdOf(h);
    ASSERT_NE(dwID, 0u);

    EX_ITEMINFO got{};
    EXItemGetInfo(h, &got, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_STREQ(got.itemname, "Bookmark");
    EXPECT_EQ(got.itemparentid, 1u);
    EXPECT_EQ(got.itemversion, 25);
    EXPECT_EQ(got.itemaccesslevel, 1);  // the root's
    EXPECT_STREQ(got.pszNote, "the note");
    EXPECT_STREQ(got.pszKeywords, "k1 k2");
    EXPECT_STREQ(got.pszSubscribers, "");
    EXPECT_EQ(got.hItem, h);
    EXPECT_EQ(got.blobReposLocation.cbData, 8);
    EXPECT_EQ(std::memcmp(got.blobReposLocation.pbData, "location", 8), 0);
    EXPECT_NE(got.tmlastmodified, 0u);
    EXPECT_EQ(got.uidlastmodified, 1);

    // Finds: by id, by the path whatever its case, by the location only as stored.
    ITEM_OBJECT* hByID = EXItemFindByID(m_hbrd, dwID, nullptr, 0, &st);
    ASSERT_NE(hByID, nullptr);
    EXPECT_EQ(NameOf(hByID), "Bookmark");
    EX_ITEMLOCATOR path{7, "/pages/INDEX.html"};
    ITEM_OBJECT* hByPath = EXItemFindByAttachmentName(m_hbrd, &path, nullptr, 0, &st);
    ASSERT_NE(hByPath, nullptr) << EXStatusText(st);
    EXPECT_EQ(IdOf(hByPath), dwID);
    EX_ITEMLOCATOR location{0, "location"};
    ITEM_OBJECT* hByLocation = EXItemFindByRepository(m_hbrd, &location, nullptr, 0, &st);
    ASSERT_NE(hByLocation, nullptr) << EXStatusText(st);
    EXPECT_EQ(IdOf(hByLocation), dwID);
    EX_ITEMLOCATOR otherCase{0, "LOCATION"};
    EXPECT_EQ(EXItemFindByRepository(m_hbrd, &otherCase, nullptr, 0, &st), nullptr);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXPECT_EQ(EXItemFindByID(m_hbrd, 0x7FFFFFF0u, nullptr, 0, &st), nullptr);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);

    // The parent; the root has none.
    ITEM_OBJECT* hParent = EXItemGetParent(h, &st);
    ASSERT_NE(hParent, nullptr);
    EXPECT_EQ(IdOf(hParent), 1u);
    EXPECT_EQ(EXItemGetParent(hParent, &st), nullptr);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    for (ITEM_OBJECT* p : {h, hByID, hByPath, hByLocation, hParent}) {
        EXPECT_EQ(EXItemRelease(p, &st), 0);
        EXPECT_EQ(st, EXSM_SUCCESS);
    }
}

TEST_F(ItemTest, AnItemAskingForATakenIdGetsTheNextFreeOne) {
    EXSM_STATUS st;
    EX_ITEMINFO info{};
    info.type = 1;
    info.itemid = 4000;
    info.itemaccesslevel = 1;
    std::strcpy(info.itemname, "first");
    ITEM_OBJECT* hFirst = EXItemNew(&st, &info);
    EXItemCreate(m_hbrd, m_hRoot, hFirst, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    std::strcpy(info.itemname, "second");
    ITEM_OBJECT* hSecond = EXItemNew(&st, &info);
    EXItemCreate(m_hbrd, m_hRoot, hSecond, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(IdOf(hFirst), 4000u);
    EXPECT_EQ(IdOf(hSecond), 4001u);
    // A create that cannot be stored leaves the handle detached and unchanged.
    info.itemparentid = 0x7FFFFFF0u;
    ITEM_OBJECT* hOrphan = EXItemNew(&st, &info);
    EXItemCreate(m_hbrd, nullptr, hOrphan, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXPECT_EQ(EXBoardFromItem(hOrphan), nullptr);
    EXPECT_EQ(EXItemObjectItem(hOrphan)->itemparentid, 0x7FFFFFF0u);
    EXItemRelease(hOrphan, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
}

TEST_F(ItemTest, NamesAreCutToTheirFieldsAndTextSettersNeverChangeTheSharedCopy) {
    EXSM_STATUS st;
    ITEM_OBJECT* h = NewItem(m_hbrd, m_hRoot, "original");
    ASSERT_NE(h, nullptr);
    ITEM_OBJECT* hOther = EXItemAcquire(h, nullptr, 0, &st);
    ASSERT_NE(hOther, nullptr);
    // Both share the cached copy until one of them changes something.
    EXPECT_EQ(EXItemObjectItem(h), EXItemObjectItem(hOther));
    std::string str64(64, 'x');
    EXItemObjectSetItemName(h, str64.c_str());
    EXItemObjectSetItemNote(h, "unsaved note");
    EXPECT_EQ(std::string(EXItemObjectItem(h)->itemname), std::string(63, 'x'));
    EXPECT_EQ(NameOf(hOther), "original");
    EXPECT_STREQ(EXItemObjectItemNote(hOther), "");
    EXPECT_EQ(EXItemObjectItemFieldFlags(h), EX_FIELD_ITEM);
    // An item without folder part gets one of its own; the zeros others see stay zeros.
    EX_FOLDER* pFolder = EXItemObjectSetFolder(h);
    ASSERT_NE(pFolder, nullptr);
    pFolder->foldertype = 9;
    EXPECT_EQ(EXItemObjectFolder(hOther)->foldertype, 0);
    EXPECT_EQ(EXItemObjectFolder(m_hRoot)->foldertype, 2);

    EXItemObjectSetItemFieldFlags(h, EX_FIELD_NOTE);
    EXItemSetInfo(h, 0, &st);
    ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    // Written: both handles show the stored copy again.
    EXPECT_EQ(EXItemObjectItem(h), EXItemObjectItem(hOther));
    EXPECT_EQ(NameOf(hOther), std::string(63, 'x'));
    EXPECT_STREQ(EXItemObjectItemNote(hOther), "unsaved note");
    EXPECT_EQ(EXItemObjectItemFieldFlags(hOther), 0u);
    EXItemRelease(hOther, &st);
    EXItemRelease(h, &st);
}

TEST_F(ItemTest, AStaleCopyGetsItemHasChangedAndWritesAfterARefresh) {
    EXSM_STATUS st;
    ITEM_OBJECT* h = NewItem(m_hbrd, m_hRoot, "shared");
    ASSERT_NE(h, nullptr);
    uint32_t dwID = IdOf(h);
    // Another process renames the item.
    std::string strPath = m_strPath;
    pid_t pid = qn::test::ForkChild([&]() {
        EXSM_STATUS s;
        BOARD_OBJECT* hOther = EXBoardOpen(strPath.c_str(), "SYSTEM", "", 1, 0, 0, 0, nullptr, &s);
        if (hOther == nullptr) {
            return 10;
        }
        ITEM_OBJECT* hItem = EXItemFindByID(hOther, dwID, nullptr, 0, &s);
        if (hItem == nullptr || Rename(hItem, "by the other") != EXSM_SUCCESS) {
            return 11;
        }
        EXBoardClose(hOther, &s);
        return 0;
    });
    ASSERT_EQ(qn::test::WaitChild(pid), 0);
    EXItemObjectSetItemDescription(h, "mine");
    EXItemSetInfo(h, 0, &st);
    EXPECT_EQ(st, EXSM_ITEM_HAS_CHANGED);
    EXItemRefresh(h, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(NameOf(h), "by the other");
    EXItemObjectSetItemDescription(h, "mine");
    EXItemSetInfo(h, 0, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_STREQ(StoredItem(m_hbrd, dwID).item.itemdescription, "mine");
    EXItemRelease(h, &st);
}

TEST_F(ItemTest, AWriteAsTheSystemComesBackThroughTheChangeLog) {
    EXSM_STATUS st;
    ITEM_OBJECT* h = NewItem(m_hbrd, m_hRoot, "plain");
    Recorder rec;
    ITEM_OBJECT* hWatched = EXItemAcquire(h, RecordCall, rec.Value(), &st);
    EXItemObjectSetItemName(h, "as system");
    EXItemSetInfo(h, 1, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(StoredItem(m_hbrd, IdOf(h)).item.uidlastmodified, 1);
    ASSERT_EQ(rec.Count(EX_CHANGE_MODIFIED), 1u);
    EXPECT_EQ(rec.calls.back().strName, "as system");
    EXPECT_EQ(rec.calls.back().nIndex, -1);
    EXItemRelease(hWatched, &st);
    EXItemRelease(h, &st);
}

TEST_F(ItemTest, AccessPairIsOneValueAndSetChangesOnlyTheView) {
    EXSM_STATUS st;
    ITEM_OBJECT* h = NewItem(m_hbrd, m_hRoot, "private", 1, nullptr, 3, 0);
    ASSERT_NE(h, nullptr);
    uint32_t dwAccess = 0;
    EXItemGetAccess(h, &dwAccess, &st);
    // Level 3 without id: the owner's (0 here).
    EXPECT_EQ(dwAccess, 3u);
    const uint32_t dwNew = 2u | (5u << 16);
    EXItemSetAccess(h, &dwNew, &st);
    EXItemGetAccess(h, &dwAccess, &st);
    EXPECT_EQ(dwAccess, dwNew);
    EXPECT_EQ(StoredItem(m_hbrd, IdOf(h)).item.itemaccess.itemaccesslevel, 3);
    EXItemGetAccess(h, nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemRelease(h, &st);
}

static int s_nRecursionBoxes = 0;
static ITEM_OBJECT* s_hNested = nullptr;
static int NestingBoxHandler(const char* pszText, const char*, unsigned int, void*) {
    if (std::strstr(pszText, "Recursion detected in EXItemGetInfo!") != nullptr) {
        ++s_nRecursionBoxes;
        return QN_IDOK;
    }
    // A box shown inside EXItemGetInfo asks for information again.
    EX_ITEMINFO info{};
    EXSM_STATUS st;
    EXItemGetInfo(s_hNested, &info, &st);
    EXPECT_EQ(info.itemid, 0u);  // nothing was filled
    return QN_IDOK;
}

TEST_F(CatalogTest, AnItemInformationCallNestedInAnotherOneIsRefused) {
    LogTo(m_dir.file("log.txt"), true);
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
    s_hNested = hRoot;
    ITEM_OBJECT* hDetached = EXItemNew(&st, nullptr);
    QNSetMessageBoxHandler(NestingBoxHandler, nullptr);
    EX_ITEMINFO info{};
    // A detached handle fails the checks: its assertion box nests a second call.
    EXItemGetInfo(hDetached, &info, &st);
    QNSetMessageBoxHandler(nullptr, nullptr);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXPECT_EQ(s_nRecursionBoxes, 1);
    // Outside, the same call works.
    EXItemGetInfo(hRoot, &info, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(info.itemid, 1u);
    EXItemRelease(hDetached, &st);
    EXBoardClose(hbrd, &st);
}

TEST_F(ItemTest, BadHandlesGetInvalidHandleAndNothingHappens) {
    EXSM_STATUS st;
    ITEM_OBJECT* hReleased = NewItem(m_hbrd, m_hRoot, "gone");
    EXItemRelease(hReleased, &st);
    alignas(8) unsigned char abForeign[sizeof(void*) * 8] = {};
    auto* hForeign = reinterpret_cast<ITEM_OBJECT*>(abForeign);
    ITEM_OBJECT* hDetached = EXItemNew(&st, nullptr);
    ITEM_ITERATOR* pList = EXFolderGetItems(m_hbrd, m_hRoot, 1, EX_SORT_NAME, nullptr, 0, &st);
    ASSERT_NE(pList, nullptr);
    ITEM_OBJECT* hInList = EXItemIteratorFirst(pList);
    ASSERT_NE(hInList, nullptr);

    for (ITEM_OBJECT* hBad : {static_cast<ITEM_OBJECT*>(nullptr), hReleased, hForeign}) {
        EX_ITEMINFO info{};
        uint32_t dw = 0;
        EXItemGetInfo(hBad, &info, &st);
        EXPECT_EQ(st, EXSM_INVALID_HANDLE);
        EXItemSetInfo(hBad, 0, &st);
        EXPECT_EQ(st, EXSM_INVALID_HANDLE);
        EXItemRefresh(hBad, &st);
        EXPECT_EQ(st, EXSM_INVALID_HANDLE);
        EXPECT_EQ(EXItemAcquire(hBad, nullptr, 0, &st), nullptr);
        EXPECT_EQ(st, EXSM_INVALID_HANDLE);
        EXItemMarkAsRead(hBad, 0, &st);
        EXPECT_EQ(st, EXSM_INVALID_HANDLE);
        EXPECT_EQ(EXItemGetParent(hBad, &st), nullptr);
        EXItemGetAccess(hBad, &dw, &st);
        EXPECT_EQ(st, EXSM_INVALID_HANDLE);
        EXItemRelease(hBad, &st);
        EXPECT_EQ(st, EXSM_INVALID_HANDLE);
        if (hBad != nullptr) {  // no parent is fine: the item's own parent id counts
            EXItemCreate(m_hbrd, hBad, hDetached, &st);
            EXPECT_EQ(st, EXSM_INVALID_HANDLE);
        }
        EXPECT_EQ(EXFolderGetItems(m_hbrd, hBad, 0, 2, nullptr, 0, &st), nullptr);
        EXPECT_EQ(st, EXSM_INVALID_HANDLE);
        EXBoardSetItem(m_hbrd, 5, hBad, &st);
        EXPECT_EQ(st, EXSM_INVALID_HANDLE);
        EXPECT_EQ(EXItemGetID(hBad), 0u);
        EXPECT_EQ(EXItemObjectItem(hBad), nullptr);
        EXItemObjectSetItemName(hBad, "x");
        EXPECT_EQ(EXBoardFromItem(hBad), nullptr);
    }
    // A detached handle is no handle of a catalog, and an attached one cannot be created again.
    EX_ITEMINFO info{};
    EXItemGetInfo(hDetached, &info, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemCreate(m_hbrd, nullptr, m_hRoot, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemCreate(nullptr, nullptr, hDetached, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    // A handle of a list belongs to the list: releasing it does nothing.
    EXItemRelease(hInList, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(EXItemIteratorFirst(pList), hInList);
    EXItemIteratorRelease(pList, 1);
    EXItemRelease(hDetached, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
}

TEST_F(ItemTest, HandlesAndListsLeftOpenEndWithTheirCatalog) {
    EXSM_STATUS st;
    ITEM_OBJECT* h = NewItem(m_hbrd, m_hRoot, "left open");
    ITEM_ITERATOR* pList = EXFolderGetItems(m_hbrd, m_hRoot, 0, EX_SORT_NAME, nullptr, 0, &st);
    ASSERT_NE(pList, nullptr);
    EXBoardClose(m_hbrd, &st);
    m_hbrd = nullptr;
    EXPECT_EQ(EXItemGetID(h), 0u);
    EXItemRelease(h, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXPECT_EQ(EXItemIteratorFirst(pList), nullptr);
    EXPECT_EQ(EXItemIteratorRelease(pList, 1), nullptr);
}

TEST_F(ItemTest, ABulkCreateStoresEveryItemOrNone) {
    EXSM_STATUS st;
    ITEM_OBJECT* hFolder = NewItem(m_hbrd, m_hRoot, "bulk", 4);
    Recorder rec;
    ITEM_ITERATOR* pList =
        EXFolderGetItems(m_hbrd, hFolder, 1, EX_SORT_NAME, RecordCall, rec.Value(), &st);
    struct {
        uint16_t wLower, wUpper;
        EX_ITEMINFO a[3];
    } items{0, 2, {}};
    for (int i = 0; i < 3; ++i) {
        items.a[i].type = 1;
        items.a[i].itemaccesslevel = 1;
        std::snprintf(items.a[i].itemname, sizeof items.a[i].itemname, "bulk %d", i);
    }
    auto* pItems = reinterpret_cast<EX_ITEMINFOARRAY*>(&items);
    EXPECT_EQ(EXItemBulkCreate(m_hbrd, hFolder, pItems, &st), 3);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(rec.Count(EX_CHANGE_CREATED), 3u);
    EXPECT_EQ(EXItemIteratorCount(pList), 3);
    // One id taken already: nothing of the second batch is stored.
    items.a[2].itemid = 1;
    items.a[2].itemparentid = 0x7FFFFFF0u;
    EXPECT_EQ(EXItemBulkCreate(m_hbrd, nullptr, pItems, &st), 0);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXPECT_EQ(EXItemIteratorCount(pList), 3);
    EXPECT_EQ(EXItemBulkCreate(nullptr, hFolder, pItems, &st), 0);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemIteratorRelease(pList, 1);
    EXItemRelease(hFolder, &st);
}
