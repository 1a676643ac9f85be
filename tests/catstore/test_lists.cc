// Item lists on real catalogs: sort orders from the store, type masks and folder-type filters,
// fetching on demand and in batches, the moves through a list, visibility, parking and reuse.
#include <cstring>
#include <string>
#include <vector>

#include "item_helpers.h"

using namespace cstest;
using Names_t = std::vector<std::string>;

namespace {

class ListTest : public CatalogTest {
  protected:
    void SetUp() override {
        LogTo(m_dir.file("log.txt"));
        MakeCatalog();
        EXSM_STATUS st;
        m_hbrd = Open("SYSTEM", "", &st);
        ASSERT_NE(m_hbrd, nullptr) << EXStatusText(st);
        m_hRoot = EXBoardGetRootFolder(m_hbrd);
        m_hFolder = NewItem(m_hbrd, m_hRoot, "folder", 4);
        ASSERT_NE(m_hFolder, nullptr);
    }
    void TearDown() override {
        EXSM_STATUS st;
        if (m_hbrd != nullptr) {
            EXBoardClose(m_hbrd, &st);
        }
    }
    std::string Log() { return qn::test::ReadFile(m_dir.file("log.txt")); }

    // An item with its sort fields set in the store (the write keeps them as given).
    void AddItem(const char* pszName, uint16_t wStatus, uint32_t dwDue, uint32_t dwModified,
                 uint16_t wType = 1) {
        ITEM_OBJECT* h = NewItem(m_hbrd, m_hFolder, pszName, wType);
        ASSERT_NE(h, nullptr);
        DB_ITEM item = StoredItem(m_hbrd, IdOf(h));
        item.item.status = wStatus;
        item.item.duedate = dwDue;
        item.item.tmlastmodified = dwModified;
        item.dwFieldFlags = EX_FIELD_ITEM;
        ASSERT_EQ(catstore::ItemWrite(m_hbrd->pdb, &item, nullptr, m_hbrd), DBSuccess);
        EXSM_STATUS st;
        EXItemRelease(h, &st);
    }

    Names_t Listed(uint16_t wSortCode, bool fFolders = false, uint32_t dwFilter = 0) {
        EXSM_STATUS st;
        ITEM_ITERATOR* p =
            fFolders
                ? EXFolderGetFolders(m_hbrd, m_hFolder, 0, wSortCode, dwFilter, nullptr, 0, &st)
                : EXFolderGetItems(m_hbrd, m_hFolder, 0, wSortCode, nullptr, 0, &st);
        EXPECT_NE(p, nullptr) << EXStatusText(st);
        Names_t v = Names(p);
        EXItemIteratorRelease(p, 1);
        return v;
    }

    BOARD_OBJECT* m_hbrd = nullptr;
    ITEM_OBJECT* m_hRoot = nullptr;
    ITEM_OBJECT* m_hFolder = nullptr;
};

}  // namespace

TEST_F(ListTest, EachSortCodeListsInItsStoreOrder) {
    AddItem("banana", 3, 300, 1000);
    AddItem("Apple", 1, 100, 3000);
    AddItem("cherry", 2, 200, 2000);
    AddItem("hidden type", 9, 900, 9000, 2);  // type 2: no item list shows it
    struct Case {
        uint16_t wCode;
        Names_t expected;
    } cases[] = {
        {EX_SORT_NAME, {"Apple", "banana", "cherry"}},
        {EX_SORT_NAME | EX_SORT_DESCENDING, {"cherry", "banana", "Apple"}},
        {EX_SORT_MODIFIED, {"banana", "cherry", "Apple"}},
        {EX_SORT_MODIFIED | EX_SORT_DESCENDING, {"Apple", "cherry", "banana"}},
        {EX_SORT_STATUS, {"Apple", "cherry", "banana"}},
        {EX_SORT_DUEDATE | EX_SORT_DESCENDING, {"banana", "cherry", "Apple"}},
        {7, {"Apple", "banana", "cherry"}},  // unknown codes list by name
        {0, {"Apple", "banana", "cherry"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Listed(c.wCode), c.expected) << "sort code " << c.wCode;
    }
}

TEST_F(ListTest, FolderListsShowFoldersByTheFolderTypeFilter) {
    EXSM_STATUS st;
    for (auto [pszName, wFolderType] : {std::pair{"two", 2}, {"three", 3}, {"thirty-four", 34}}) {
        EX_ITEMINFO info{};
        info.type = 4;
        info.itemaccesslevel = 1;
        std::strcpy(info.itemname, pszName);
        ITEM_OBJECT* h = EXItemNew(&st, &info);
        EXItemObjectSetFolder(h)->foldertype = static_cast<uint16_t>(wFolderType);
        EXItemCreate(m_hbrd, m_hFolder, h, &st);
        ASSERT_EQ(st, EXSM_SUCCESS);
        EXItemRelease(h, &st);
    }
    AddItem("a bookmark", 0, 0, 0);
    EXPECT_EQ(Listed(EX_SORT_NAME, true), (Names_t{"thirty-four", "three", "two"}));
    // Bit (FOLDERTYPE mod 32): 0x4 takes types 2 and 34.
    EXPECT_EQ(Listed(EX_SORT_NAME, true, 0x4), (Names_t{"thirty-four", "two"}));
    EXPECT_EQ(Listed(EX_SORT_NAME).size(), 4u);  // folders are items too
    EXPECT_EQ(EXFolderHasFolders(m_hbrd, m_hFolder, 0x8, &st), 1);
    EXPECT_EQ(EXFolderHasFolders(m_hbrd, m_hFolder, 0x10, &st), 0);
    // A list of an item that is no folder.
    ITEM_OBJECT* hItem = NewItem(m_hbrd, m_hFolder, "plain");
    EXPECT_EQ(EXFolderGetItems(m_hbrd, hItem, 0, EX_SORT_NAME, nullptr, 0, &st), nullptr);
    EXPECT_EQ(st, EXSM_FOLDER_REQUIRED);
}

TEST_F(ListTest, ListsFetchOnDemandAndMoveByOneOrInBatches) {
    for (int i = 0; i < 40; ++i) {
        char ach[16];
        std::snprintf(ach, sizeof ach, "item %02d", i);
        AddItem(ach, 0, 0, 0);
    }
    EXSM_STATUS st;
    // A trim drops the entries nothing uses: the items just made are no longer cached.
    EX_MEMORYUSAGE before{sizeof(EX_MEMORYUSAGE)};
    EXBoardMemoryUsage(m_hbrd, &before, 1, &st);
    ITEM_ITERATOR* p = EXFolderGetItems(m_hbrd, m_hFolder, 0, EX_SORT_NAME, nullptr, 0, &st);
    ASSERT_NE(p, nullptr);
    // Opening the folder fetched one item: one entry more in the cache.
    EX_MEMORYUSAGE after{sizeof(EX_MEMORYUSAGE)};
    EXBoardMemoryUsage(m_hbrd, &after, 0, &st);
    EXPECT_EQ(after.dwEntryCount, before.dwEntryCount + 1);
    EXPECT_EQ(EXItemIteratorCount(p), 40);
    EXPECT_EQ(EXItemIteratorGetIndex(p), -1);

    struct {
        uint16_t wLower, wUpper;
        ITEM_OBJECT* ah[10];
    } batch{0, 9, {}};
    auto* pArray = reinterpret_cast<EX_ITEMARRAY*>(&batch);
    EXPECT_EQ(EXItemIteratorGetNextItems(p, pArray), 10);
    EXPECT_EQ(NameOf(batch.ah[9]), "item 09");
    EXPECT_EQ(EXItemIteratorGetIndex(p), 9);
    EXItemIteratorSetIndex(p, 3);
    EXPECT_EQ(EXItemIteratorGetPrevItems(p, pArray), 3);
    EXPECT_EQ(NameOf(batch.ah[0]), "item 00");
    EXPECT_EQ(NameOf(batch.ah[2]), "item 02");
    EXPECT_EQ(EXItemIteratorGetIndex(p), 0);
    EXPECT_EQ(EXItemIteratorPrev(p), nullptr);
    EXPECT_EQ(EXItemIteratorGetIndex(p), -1);
    EXItemIteratorSetIndex(p, 25);
    EXPECT_EQ(NameOf(EXItemIteratorCurrent(p)), "item 25");
    ITEM_OBJECT* hLast = EXItemIteratorLast(p);
    EXPECT_EQ(NameOf(hLast), "item 39");
    EXPECT_EQ(EXItemIteratorNext(p), nullptr);
    EXPECT_EQ(EXItemIteratorGetIndex(p), 39);
    EXPECT_EQ(EXItemIteratorCurrent(p), hLast);
    EXPECT_EQ(EXItemIteratorFirst(p) != nullptr, true);
    EXPECT_EQ(EXItemIteratorIsParentChild(p), 1);
    EXItemIteratorRelease(p, 1);

    // Without an array the batch fetches the whole list.
    p = EXFolderGetItems(m_hbrd, m_hFolder, 0, EX_SORT_NAME, nullptr, 0, &st);
    EXPECT_EQ(EXItemIteratorGetNextItems(p, nullptr), 40);
    EXPECT_EQ(EXItemIteratorCount(p), 40);
    EXItemIteratorRelease(p, 1);
}

TEST_F(ListTest, AnEmptyFolderGivesACompleteEmptyList) {
    EXSM_STATUS st;
    ITEM_ITERATOR* p = EXFolderGetItems(m_hbrd, m_hFolder, 0, EX_SORT_NAME, nullptr, 0, &st);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(EXItemIteratorCount(p), 0);
    EXPECT_EQ(EXItemIteratorFirst(p), nullptr);
    EXPECT_EQ(EXItemIteratorNext(p), nullptr);
    EXPECT_EQ(EXItemIteratorLast(p), nullptr);
    EXItemIteratorReset(p);
    EXPECT_EQ(EXItemIteratorGetIndex(p), -1);
    EXPECT_EQ(EXItemIteratorGetNextItems(p, nullptr), 0);
    EXItemIteratorRelease(p, 1);
}

TEST_F(ListTest, ItemsTheUserMayNotSeeShrinkTheCountAsTheyAreMet) {
    EXSM_STATUS st;
    ASSERT_NE(AddUser(m_hbrd, "ann", "a"), 0);
    for (int i = 0; i < 6; ++i) {
        char ach[16];
        std::snprintf(ach, sizeof ach, "item %d", i);
        // Every other item is private to user 77.
        ITEM_OBJECT* h = NewItem(m_hbrd, m_hFolder, ach, 1, nullptr, i % 2 ? 3 : 1, i % 2 ? 77 : 0);
        ASSERT_NE(h, nullptr);
        EXItemRelease(h, &st);
    }
    uint32_t dwFolder = IdOf(m_hFolder);
    EXBoardClose(m_hbrd, &st);
    m_hbrd = Open("ann", "a", &st);
    ASSERT_NE(m_hbrd, nullptr);
    ITEM_OBJECT* hFolder = EXItemFindByID(m_hbrd, dwFolder, nullptr, 0, &st);
    ITEM_ITERATOR* p = EXFolderGetItems(m_hbrd, hFolder, 0, EX_SORT_NAME, nullptr, 0, &st);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(EXItemIteratorCount(p), 6);
    EXItemIteratorNext(p);
    EXItemIteratorNext(p);  // passes item 1, which ann may not see
    EXPECT_EQ(EXItemIteratorCount(p), 5);
    EXPECT_EQ(Names(p), (Names_t{"item 0", "item 2", "item 4"}));
    EXPECT_EQ(EXItemIteratorCount(p), 3);
    EXItemIteratorRelease(p, 1);
}

TEST_F(ListTest, ReleasedListsAreParkedAndAnEqualRequestGetsThemBack) {
    AddItem("b", 2, 0, 0);
    AddItem("a", 1, 0, 0);
    EXSM_STATUS st;
    ITEM_ITERATOR* p = EXFolderGetItems(m_hbrd, m_hFolder, 1, EX_SORT_NAME, nullptr, 0, &st);
    EXItemIteratorRelease(p, 0);
    EXPECT_EQ(EXItemIteratorFirst(p), nullptr);  // parked: no list of the application's
    // The other kind is not this one.
    ITEM_ITERATOR* pFolders =
        EXFolderGetFolders(m_hbrd, m_hFolder, 0, EX_SORT_NAME, 0, nullptr, 0, &st);
    EXPECT_NE(pFolders, p);
    EXItemIteratorRelease(pFolders, 1);
    // The same request gets the same list back; another sort code sorts it again.
    ITEM_ITERATOR* pAgain = EXFolderGetItems(m_hbrd, m_hFolder, 0,
                                             EX_SORT_STATUS | EX_SORT_DESCENDING, nullptr, 0, &st);
    EXPECT_EQ(pAgain, p);
    EXPECT_EQ(Names(pAgain), (Names_t{"b", "a"}));
    std::string strLog = Log();
    EXPECT_EQ(CountOf(strLog, "LRU: Retiring iterator "), 1u);
    EXPECT_EQ(CountOf(strLog, "LRU: Reviving iterator "), 1u);
    EXPECT_EQ(CountOf(strLog, "LRU: Revived iterator requires sorting!"), 1u);
    EXItemIteratorRelease(pAgain, 1);
}

TEST_F(ListTest, TheEleventhParkedListReleasesTheOldest) {
    EXSM_STATUS st;
    std::vector<ITEM_OBJECT*> folders;
    for (int i = 0; i < 11; ++i) {
        folders.push_back(NewItem(m_hbrd, m_hFolder, ("f" + std::to_string(i)).c_str(), 4));
        ITEM_ITERATOR* p =
            EXFolderGetItems(m_hbrd, folders.back(), 0, EX_SORT_NAME, nullptr, 0, &st);
        EXItemIteratorRelease(p, 0);
    }
    std::string strLog = Log();
    size_t nOverflow = strLog.find("LRU: Overflow! Releasing retired iterator ");
    ASSERT_NE(nOverflow, std::string::npos);
    EXPECT_NE(strLog.find("f0", nOverflow), std::string::npos);
    // The overflow line comes before the line of the eleventh list.
    size_t nEleventh = strLog.rfind("LRU: Retiring iterator ");
    EXPECT_LT(nOverflow, nEleventh);
    EX_MEMORYUSAGE usage{sizeof(EX_MEMORYUSAGE)};
    EXBoardMemoryUsage(m_hbrd, &usage, 0, &st);
    EXPECT_EQ(usage.dwRetiredCount, 10u);
    EXPECT_EQ(usage.dwRetiredCapacity, 10u);
    // A trim releases them all.
    EXBoardMemoryUsage(m_hbrd, &usage, 1, &st);
    EXPECT_EQ(usage.dwRetiredCount, 0u);
    for (ITEM_OBJECT* h : folders) {
        EXItemRelease(h, &st);
    }
}

TEST_F(ListTest, AListUsedAfterItsFinalReleaseIsNoList) {
    AddItem("a", 0, 0, 0);
    EXSM_STATUS st;
    ITEM_ITERATOR* p = EXFolderGetItems(m_hbrd, m_hFolder, 1, EX_SORT_NAME, nullptr, 0, &st);
    ASSERT_NE(p, nullptr);
    ITEM_OBJECT* h = EXItemIteratorFirst(p);
    EXPECT_EQ(EXItemIteratorRelease(p, 1), nullptr);
    EXPECT_EQ(EXItemIteratorCount(p), 0);
    EXPECT_EQ(EXItemIteratorGetIndex(p), -1);
    EXPECT_EQ(EXItemIteratorFirst(p), nullptr);
    EXPECT_EQ(EXItemIteratorNext(p), nullptr);
    EXPECT_EQ(EXItemIteratorLast(p), nullptr);
    EXPECT_EQ(EXItemIteratorSetIndex(p, 0), nullptr);
    EXPECT_EQ(EXItemIteratorGetNextItems(p, nullptr), 0);
    EXPECT_EQ(EXItemIteratorSort(p, 4), 0);
    EXPECT_EQ(EXItemIteratorIsParentChild(p), 0);
    EXPECT_EQ(EXItemIteratorRelease(p, 1), nullptr);
    // Its handles went with it.
    EXPECT_EQ(EXItemGetID(h), 0u);
    EXPECT_EQ(EXItemIteratorCount(nullptr), 0);
    EXPECT_EQ(EXItemIteratorRelease(nullptr, 1), nullptr);
}

TEST_F(ListTest, ACreatedItemGoesToItsPlaceAndBeyondTheFetchedPartTheListFetchesToIt) {
    AddItem("b", 0, 0, 0);
    AddItem("d", 0, 0, 0);
    AddItem("f", 0, 0, 0);
    EXSM_STATUS st;
    Recorder rec;
    ITEM_ITERATOR* pAll =
        EXFolderGetItems(m_hbrd, m_hFolder, 1, EX_SORT_NAME, RecordCall, rec.Value(), &st);
    Recorder recLazy;
    ITEM_ITERATOR* pLazy =
        EXFolderGetFolders(m_hbrd, m_hRoot, 0, EX_SORT_NAME, 0, RecordCall, recLazy.Value(), &st);
    ASSERT_NE(pAll, nullptr);
    ASSERT_NE(pLazy, nullptr);
    ITEM_OBJECT* hC = NewItem(m_hbrd, m_hFolder, "c");
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0].wKind, EX_CHANGE_CREATED);
    EXPECT_EQ(rec.calls[0].nIndex, 1);
    EXPECT_EQ(Names(pAll), (Names_t{"b", "c", "d", "f"}));
    EXPECT_EQ(EXItemIteratorCount(pAll), 4);
    // The root's folders, of which only the first is fetched: a new last folder is fetched to.
    EXPECT_EQ(EXItemIteratorCount(pLazy), 4);
    ITEM_OBJECT* hZ = NewItem(m_hbrd, m_hRoot, "zzz folder", 4);
    ASSERT_EQ(recLazy.calls.size(), 1u);
    EXPECT_EQ(recLazy.calls[0].strName, "zzz folder");
    EXPECT_EQ(recLazy.calls[0].nIndex, EXItemIteratorGetIndex(pLazy));
    EXPECT_EQ(NameOf(EXItemIteratorLast(pLazy)), "zzz folder");
    EXPECT_EQ(EXItemIteratorCount(pLazy), 5);
    // A list sorted again puts new items where its new order says.
    EXItemIteratorSort(pAll, EX_SORT_NAME | EX_SORT_DESCENDING);
    EXPECT_EQ(Names(pAll), (Names_t{"f", "d", "c", "b"}));
    ITEM_OBJECT* hE = NewItem(m_hbrd, m_hFolder, "e");
    EXPECT_EQ(Names(pAll), (Names_t{"f", "e", "d", "c", "b"}));
    for (ITEM_OBJECT* h : {hC, hZ, hE}) {
        EXItemRelease(h, &st);
    }
    EXItemIteratorRelease(pAll, 1);
    EXItemIteratorRelease(pLazy, 1);
}
