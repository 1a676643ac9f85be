// References between items on real catalogs: several references between the same two items,
// removal by tag and without, reference data, the marker bit of folders of folder type 11, the
// live reference lists in this process and another, parked lists, bad input, and what a tree
// destroy drops.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cache.h"
#include "item_helpers.h"
#include "refs.h"

using namespace cstest;
using namespace qn::dbms;
using Names_t = std::vector<std::string>;

namespace {

class RefTest : public CatalogTest {
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
        ASSERT_NE(hF, nullptr);
        for (const char* pszName : {"a", "b", "c", "d"}) {
            ITEM_OBJECT* h = NewItem(hbrd, hF, pszName);
            ASSERT_NE(h, nullptr);
            m_ids.push_back(IdOf(h));
        }
        for (const char* pszName : {"M1", "M2"}) {
            ITEM_OBJECT* h = NewMarkingFolder(hbrd, hRoot, pszName);
            ASSERT_NE(h, nullptr);
            m_ids.push_back(IdOf(h));
        }
        m_ids.push_back(IdOf(hF));
        EXBoardClose(hbrd, &st);
        m_hbrd = Open("reader", "r", &st);
        ASSERT_NE(m_hbrd, nullptr) << EXStatusText(st);
        for (uint32_t dw : m_ids) {
            m_handles.push_back(FindItem(m_hbrd, dw));
            ASSERT_NE(m_handles.back(), nullptr);
        }
    }
    void TearDown() override {
        EXSM_STATUS st;
        if (m_hbrd != nullptr) {
            EXBoardClose(m_hbrd, &st);
        }
    }

    static ITEM_OBJECT* NewMarkingFolder(BOARD_OBJECT* hbrd, ITEM_OBJECT* hParent,
                                         const char* pszName) {
        EXSM_STATUS st;
        EX_ITEMINFO info{};
        info.type = 4;
        std::snprintf(info.itemname, sizeof info.itemname, "%s", pszName);
        info.itemaccesslevel = 1;
        ITEM_OBJECT* h = EXItemNew(&st, &info);
        EXItemObjectSetFolder(h)->foldertype = catstore::FOLDERTYPE_MARKING;
        EXItemCreate(hbrd, hParent, h, &st);
        return st == EXSM_SUCCESS ? h : nullptr;
    }

    // a, b, c, d: items; M1, M2: folders of folder type 11; F: the plain folder of the items.
    ITEM_OBJECT* H(const char* pszName) {
        static const char* const apsz[] = {"a", "b", "c", "d", "M1", "M2", "F"};
        for (size_t i = 0; i < m_handles.size(); ++i) {
            if (std::strcmp(apsz[i], pszName) == 0) {
                return m_handles[i];
            }
        }
        return nullptr;
    }
    uint32_t Id(const char* pszName) { return IdOf(H(pszName)); }

    EXSM_STATUS Add(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest, const std::string& strData = "",
                    uint32_t fAsSystem = 0) {
        EXSM_STATUS st;
        EXItemAddReference(hSource, hDest, &st, strData.empty() ? nullptr : strData.data(),
                           static_cast<uint16_t>(strData.size()), fAsSystem, 0);
        return st;
    }
    EXSM_STATUS Remove(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest) {
        EXSM_STATUS st;
        EXItemRemoveReference(hSource, hDest, &st);
        return st;
    }
    // The data of the reference a tagged handle names ("<status>" on failure).
    static std::string Data(ITEM_OBJECT* h) {
        EX_REFINFO info{};
        EXSM_STATUS st;
        EXItemGetReferenceData(h, &info, &st);
        if (st != EXSM_SUCCESS) {
            return "<" + std::to_string(st) + ">";
        }
        std::string str(static_cast<const char*>(info.pData), info.cbData);
        EXItemRefInfoReset(&info);
        return str;
    }
    ITEM_ITERATOR* Refs(ITEM_OBJECT* h, bool fReferencers, int fFetchAll = 1,
                        uint16_t wSortCode = 0, Recorder* pRec = nullptr) {
        EXSM_STATUS st;
        ITEM_ITERATOR* p =
            fReferencers
                ? EXItemGetReferencers(m_hbrd, h, fFetchAll, wSortCode, pRec ? RecordCall : nullptr,
                                       pRec ? pRec->Value() : 0, &st)
                : EXItemGetReferences(m_hbrd, h, fFetchAll, wSortCode, pRec ? RecordCall : nullptr,
                                      pRec ? pRec->Value() : 0, &st);
        EXPECT_NE(p, nullptr) << EXStatusText(st);
        return p;
    }
    // The handles of a whole list in slot order.
    static std::vector<ITEM_OBJECT*> Handles(ITEM_ITERATOR* p) {
        std::vector<ITEM_OBJECT*> v;
        EXItemIteratorReset(p);
        for (ITEM_OBJECT* h = EXItemIteratorNext(p); h != nullptr; h = EXItemIteratorNext(p)) {
            v.push_back(h);
        }
        return v;
    }
    uint32_t Count(int32_t nRecType) {
        uint32_t n = 0;
        EXPECT_EQ(m_hbrd->pdb->RecordCount(nRecType, &n), S_OKAY);
        return n;
    }
    uint16_t StoredAttributes(const char* pszName) {
        return StoredItem(m_hbrd, Id(pszName)).item.attributes;
    }
    // The change entries in log order.
    std::vector<qn::dbms::db_changeentryrec> Entries() {
        std::vector<qn::dbms::db_changeentryrec> v;
        catstore::CDbContext* pdb = m_hbrd->pdb;
        for (int rc = pdb->ScanFirst(DB_CHANGEENTRYREC); rc == S_OKAY;
             rc = pdb->ScanNext(DB_CHANGEENTRYREC)) {
            qn::dbms::db_changeentryrec e{};
            EXPECT_EQ(pdb->Read(&e), S_OKAY);
            v.push_back(e);
        }
        return v;
    }
    size_t CountEntries(uint16_t wKind, size_t nFrom = 0) {
        std::vector<qn::dbms::db_changeentryrec> v = Entries();
        size_t n = 0;
        for (size_t i = nFrom; i < v.size(); ++i) {
            n += v[i].changekind == wKind ? 1 : 0;
        }
        return n;
    }
    bool AsWriter(const std::function<bool(BOARD_OBJECT*)>& fn) {
        return InOtherProcess(m_strPath, "writer", "w", fn);
    }
    void Refresh() {
        EXSM_STATUS st;
        EXBoardRefresh(m_hbrd, &st);
        ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
    }

    BOARD_OBJECT* m_hbrd = nullptr;
    std::vector<uint32_t> m_ids;
    std::vector<ITEM_OBJECT*> m_handles;
};

}  // namespace

TEST_F(RefTest, TwoReferencesBetweenTheSameItemsKeepTheirOwnDataAndTags) {
    ASSERT_EQ(Add(H("a"), H("b"), "first"), EXSM_SUCCESS);
    ASSERT_EQ(Add(H("a"), H("b"), "second"), EXSM_SUCCESS);
    ITEM_ITERATOR* pRefs = Refs(H("a"), false);
    std::vector<ITEM_OBJECT*> refs = Handles(pRefs);
    ASSERT_EQ(refs.size(), 2u);
    EXPECT_EQ(EXItemIteratorCount(pRefs), 2);
    EXPECT_EQ(NameOf(refs[0]), "b");
    EXPECT_EQ(NameOf(refs[1]), "b");
    EXPECT_NE(refs[0]->dwReferenceTag, refs[1]->dwReferenceTag);
    EXPECT_EQ(Data(refs[0]), "first");
    EXPECT_EQ(Data(refs[1]), "second");
    ITEM_ITERATOR* pBy = Refs(H("b"), true);
    std::vector<ITEM_OBJECT*> by = Handles(pBy);
    ASSERT_EQ(by.size(), 2u);
    EXPECT_EQ(NameOf(by[0]), "a");
    EXPECT_EQ(by[0]->dwReferenceTag, refs[0]->dwReferenceTag);
    EXPECT_EQ(Data(by[1]), "second");
    // The entries: one AddRef each, for the destination with the source as the other item.
    std::vector<qn::dbms::db_changeentryrec> v = Entries();
    ASSERT_GE(v.size(), 2u);
    const auto& e = v.back();
    EXPECT_EQ(e.changekind, EX_CHANGE_ADDREF);
    EXPECT_EQ(e.changeitemid, Id("b"));
    EXPECT_EQ(e.changeparentid, Id("a"));
    EXPECT_EQ(e.changefields, refs[1]->dwReferenceTag);
    EXItemIteratorRelease(pRefs, 1);
    EXItemIteratorRelease(pBy, 1);
}

TEST_F(RefTest, RemovingByTagTakesOnlyThatReferenceAndWithoutTagEveryOne) {
    for (const char* psz : {"1", "2", "3"}) {
        ASSERT_EQ(Add(H("a"), H("b"), psz), EXSM_SUCCESS);
    }
    ASSERT_EQ(Add(H("a"), H("c")), EXSM_SUCCESS);
    ASSERT_EQ(Add(H("d"), H("b")), EXSM_SUCCESS);
    const uint32_t cStrings = Count(DB_VARSTRINGREC);
    Recorder rec;
    ITEM_ITERATOR* p = Refs(H("a"), false, 1, 0, &rec);
    ASSERT_EQ(Names(p), (Names_t{"b", "b", "b", "c"}));
    std::vector<ITEM_OBJECT*> refs = Handles(p);
    size_t nEntries = Entries().size();

    // A handle of the list names its reference: the data string goes with it.
    ASSERT_EQ(Remove(H("a"), refs[1]), EXSM_SUCCESS);
    EXPECT_EQ(CountEntries(EX_CHANGE_REMOVEREF, nEntries), 1u);
    EXPECT_EQ(Count(DB_VARSTRINGREC), cStrings - 1);
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0].wKind, EX_CHANGE_DESTROYED);
    EXPECT_EQ(rec.calls[0].nIndex, 1);
    std::vector<ITEM_OBJECT*> left = Handles(p);
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(Data(left[0]), "1");
    EXPECT_EQ(Data(left[1]), "3");

    // A plain handle: every reference from a to b, one entry each; d's and c's stay.
    nEntries = Entries().size();
    ASSERT_EQ(Remove(H("a"), H("b")), EXSM_SUCCESS);
    EXPECT_EQ(CountEntries(EX_CHANGE_REMOVEREF, nEntries), 2u);
    EXPECT_EQ(Names(p), (Names_t{"c"}));
    EXPECT_EQ(Count(DB_ITEMREFREC), 2u);
    EXPECT_EQ(Count(DB_VARSTRINGREC), cStrings - 3);
    EXPECT_EQ(Remove(H("a"), H("b")), EXSM_ITEM_NOT_REFERENCED);
    EXItemIteratorRelease(p, 1);
}

TEST_F(RefTest, HasWithTagNamesTheFirstReferenceForTheDataCalls) {
    ASSERT_EQ(Add(H("a"), H("b"), "x"), EXSM_SUCCESS);
    ASSERT_EQ(Add(H("a"), H("b"), "y"), EXSM_SUCCESS);
    EXSM_STATUS st;
    EXPECT_EQ(EXItemHasReference(H("b"), H("a"), 1, &st), 0);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(H("a")->dwReferenceTag, 0u);
    EXPECT_EQ(EXItemHasReference(H("a"), H("b"), 0, &st), 1);
    EXPECT_EQ(H("b")->dwReferenceTag, 0u);
    EXPECT_EQ(Data(H("b")), "<" + std::to_string(EXSM_INVALID_HANDLE) + ">");
    EXPECT_EQ(EXItemHasReference(H("a"), H("b"), 1, &st), 1);
    EXPECT_EQ(Data(H("b")), "x");

    // Set replaces the data; count 0 removes the string; no change entry either way.
    const uint32_t cStrings = Count(DB_VARSTRINGREC);
    const size_t nEntries = Entries().size();
    std::string strBig(1000, 'q');
    EX_REFINFO info{static_cast<uint32_t>(strBig.size()), strBig.data()};
    EXItemSetReferenceData(H("b"), &info, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(Data(H("b")), strBig);
    info = EX_REFINFO{0, nullptr};
    EXItemSetReferenceData(H("b"), &info, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(Count(DB_VARSTRINGREC), cStrings - 1);
    EXPECT_EQ(Entries().size(), nEntries);

    // Data of length 0: no string, count 0 and a null pointer.
    ASSERT_EQ(Add(H("a"), H("c")), EXSM_SUCCESS);
    EXPECT_EQ(Count(DB_VARSTRINGREC), cStrings - 1);
    EXPECT_EQ(EXItemHasReference(H("a"), H("c"), 1, &st), 1);
    info = EX_REFINFO{7, &info};
    EXItemGetReferenceData(H("c"), &info, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(info.cbData, 0u);
    EXPECT_EQ(info.pData, nullptr);

    // The tag decides what the remove takes: the first one, whose data is gone now.
    ASSERT_EQ(Remove(H("a"), H("b")), EXSM_SUCCESS);
    EXPECT_EQ(Data(H("b")), "<" + std::to_string(EXSM_ITEM_NOT_REFERENCED) + ">");
    EXPECT_EQ(EXItemHasReference(H("a"), H("b"), 1, &st), 1);
    EXPECT_EQ(Data(H("b")), "y");
}

TEST_F(RefTest, MarkerBitFollowsTheLastFolderOfTypeElevenThatRefersToTheItem) {
    auto viewAttributes = [&](const char* psz) { return EXItemObjectItem(H(psz))->attributes; };
    size_t nEntries = Entries().size();
    ASSERT_EQ(Add(H("M1"), H("a")), EXSM_SUCCESS);
    EXPECT_EQ(StoredAttributes("a") & EX_ATTR_REFERENCED, EX_ATTR_REFERENCED);
    EXPECT_EQ(viewAttributes("a") & EX_ATTR_REFERENCED, EX_ATTR_REFERENCED);
    std::vector<qn::dbms::db_changeentryrec> v = Entries();
    ASSERT_EQ(v.size(), nEntries + 2);
    EXPECT_EQ(v[nEntries].changekind, EX_CHANGE_ADDREF);
    EXPECT_EQ(v[nEntries + 1].changekind, EX_CHANGE_MODIFIED);
    EXPECT_EQ(v[nEntries + 1].changefields, EX_FIELD_REFMARKER);
    EXPECT_EQ(v[nEntries + 1].changeitemid, Id("a"));
    EXPECT_EQ(v[nEntries + 1].changeuserid, v[nEntries].changeuserid);

    // A plain folder and a second marking folder change nothing; the handle still writes.
    nEntries = Entries().size();
    ASSERT_EQ(Add(H("F"), H("a")), EXSM_SUCCESS);
    ASSERT_EQ(Add(H("M2"), H("a")), EXSM_SUCCESS);
    EXPECT_EQ(CountEntries(EX_CHANGE_MODIFIED, nEntries), 0u);
    EXPECT_EQ(Rename(H("a"), "a2"), EXSM_SUCCESS);

    ASSERT_EQ(Remove(H("M1"), H("a")), EXSM_SUCCESS);
    ASSERT_EQ(Remove(H("F"), H("a")), EXSM_SUCCESS);
    EXPECT_EQ(StoredAttributes("a") & EX_ATTR_REFERENCED, EX_ATTR_REFERENCED);
    nEntries = Entries().size();
    ASSERT_EQ(Remove(H("M2"), H("a")), EXSM_SUCCESS);
    EXPECT_EQ(StoredAttributes("a") & EX_ATTR_REFERENCED, 0);
    EXPECT_EQ(viewAttributes("a") & EX_ATTR_REFERENCED, 0);
    v = Entries();
    ASSERT_EQ(v.size(), nEntries + 2);
    EXPECT_EQ(v.back().changekind, EX_CHANGE_MODIFIED);
    EXPECT_EQ(v.back().changefields, EX_FIELD_REFMARKER);
    EXPECT_EQ(Rename(H("a"), "a3"), EXSM_SUCCESS);

    // As the system: both entries are user 1's, and the view still writes after the refresh.
    ASSERT_EQ(Add(H("M1"), H("a"), "", 1), EXSM_SUCCESS);
    v = Entries();
    EXPECT_EQ(v[v.size() - 2].changeuserid, 1);
    EXPECT_EQ(v.back().changeuserid, 1);
    EXPECT_EQ(viewAttributes("a") & EX_ATTR_REFERENCED, EX_ATTR_REFERENCED);
    EXPECT_EQ(Rename(H("a"), "a4"), EXSM_SUCCESS);
}

TEST_F(RefTest, AnotherProcessesAddsAndRemovesReachTheOpenListsAtRefresh) {
    const uint32_t dwA = Id("a"), dwB = Id("b"), dwC = Id("c"), dwD = Id("d");
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        return Add(FindItem(h, dwA), FindItem(h, dwB)) == EXSM_SUCCESS &&
               Add(FindItem(h, dwA), FindItem(h, dwB)) == EXSM_SUCCESS;
    }));
    Refresh();
    Recorder recAll, recPart, recBy;
    ITEM_ITERATOR* pAll = Refs(H("a"), false, 1, 0, &recAll);
    ITEM_ITERATOR* pPart = Refs(H("a"), false, 0, 0, &recPart);
    // c's referencers: the referring item d is held by nobody in this process.
    ITEM_ITERATOR* pBy = Refs(H("c"), true, 1, 0, &recBy);
    EXItemRelease(H("d"), nullptr);
    catstore::CacheMemoryUsage(m_hbrd, true);
    ASSERT_EQ(catstore::FindEntry(m_hbrd, dwD), nullptr);
    ASSERT_EQ(EXItemIteratorCount(pPart), 2);

    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        return Add(FindItem(h, dwA), FindItem(h, dwC), "to c") == EXSM_SUCCESS &&
               Add(FindItem(h, dwD), FindItem(h, dwC)) == EXSM_SUCCESS;
    }));
    Refresh();
    ASSERT_EQ(recAll.calls.size(), 1u);
    EXPECT_EQ(recAll.calls[0].wKind, EX_CHANGE_CREATED);
    EXPECT_EQ(recAll.calls[0].nIndex, 2);
    EXPECT_EQ(Names(pAll), (Names_t{"b", "b", "c"}));
    // The partly fetched list meets the new reference once, where its walk reaches it.
    EXPECT_EQ(EXItemIteratorCount(pPart), 3);
    EXPECT_EQ(Names(pPart), (Names_t{"b", "b", "c"}));
    EXPECT_EQ(Data(Handles(pPart)[2]), "to c");
    EXPECT_EQ(Names(pBy), (Names_t{"a", "d"}));

    // The writer removes the first a-to-b reference by its tag.
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) {
        ITEM_OBJECT* hB = FindItem(h, dwB);
        EXSM_STATUS st;
        return EXItemHasReference(FindItem(h, dwA), hB, 1, &st) == 1 &&
               Remove(FindItem(h, dwA), hB) == EXSM_SUCCESS &&
               Remove(FindItem(h, dwD), FindItem(h, dwC)) == EXSM_SUCCESS;
    }));
    const uint32_t dwSecond = Handles(pAll)[1]->dwReferenceTag;
    Refresh();
    EXPECT_EQ(Names(pAll), (Names_t{"b", "c"}));
    EXPECT_EQ(Handles(pAll)[0]->dwReferenceTag, dwSecond);
    EXPECT_EQ(Names(pPart), (Names_t{"b", "c"}));
    EXPECT_EQ(Names(pBy), (Names_t{"a"}));
    EXPECT_EQ(recBy.Count(EX_CHANGE_DESTROYED), 1u);
    for (ITEM_ITERATOR* p : {pAll, pPart, pBy}) {
        EXItemIteratorRelease(p, 1);
    }
}

TEST_F(RefTest, AParkedReferenceListComesBackWithTheChangesMadeMeanwhile) {
    ASSERT_EQ(Add(H("a"), H("c")), EXSM_SUCCESS);
    ASSERT_EQ(Add(H("a"), H("b")), EXSM_SUCCESS);
    ITEM_ITERATOR* p = Refs(H("a"), false);
    ASSERT_EQ(Names(p), (Names_t{"c", "b"}));
    EXItemIteratorRelease(p, 0);
    ASSERT_EQ(Add(H("a"), H("d")), EXSM_SUCCESS);
    EXSM_STATUS st;
    ASSERT_EQ(EXItemHasReference(H("a"), H("c"), 1, &st), 1);
    ASSERT_EQ(Remove(H("a"), H("c")), EXSM_SUCCESS);
    Recorder rec;
    ITEM_ITERATOR* pBack = Refs(H("a"), false, 0, 0, &rec);
    EXPECT_EQ(pBack, p);
    EXPECT_EQ(Names(pBack), (Names_t{"b", "d"}));
    EXItemIteratorRelease(pBack, 0);
    // Revived in name order and back in the order of creation.
    pBack = Refs(H("a"), false, 0, EX_SORT_NAME | EX_SORT_DESCENDING);
    EXPECT_EQ(Names(pBack), (Names_t{"d", "b"}));
    EXItemIteratorRelease(pBack, 0);
    pBack = Refs(H("a"), false, 0, 0);
    EXPECT_EQ(Names(pBack), (Names_t{"b", "d"}));
    // Still live: a new reference reaches the revived list.
    ASSERT_EQ(Add(H("a"), H("a")), EXSM_SUCCESS);
    EXPECT_EQ(Names(pBack), (Names_t{"b", "d", "a"}));
    EXItemIteratorRelease(pBack, 1);
}

TEST_F(RefTest, BadInputGetsAClearStatusAndStoresNothing) {
    ASSERT_EQ(Add(H("a"), H("b"), "ab"), EXSM_SUCCESS);
    EXSM_STATUS st;
    ASSERT_EQ(EXItemHasReference(H("a"), H("b"), 1, &st), 1);
    const uint32_t dwTagAB = H("b")->dwReferenceTag;
    const uint32_t cRefs = Count(DB_ITEMREFREC), cStrings = Count(DB_VARSTRINGREC);
    const size_t nEntries = Entries().size();
    EXPECT_EQ(Add(nullptr, H("b")), EXSM_INVALID_HANDLE);
    EXPECT_EQ(Add(H("a"), nullptr), EXSM_INVALID_HANDLE);
    EXPECT_EQ(Remove(H("a"), nullptr), EXSM_INVALID_HANDLE);
    EXPECT_EQ(EXItemHasReference(nullptr, H("b"), 0, &st), 0);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemAddReference(H("a"), H("b"), &st, nullptr, 5, 0, 0);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXPECT_EQ(EXItemGetReferences(nullptr, H("a"), 1, 0, nullptr, 0, &st), nullptr);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXPECT_EQ(EXItemGetReferencers(m_hbrd, nullptr, 1, 0, nullptr, 0, &st), nullptr);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);

    // A tag names one reference between the two items, whichever handle carries it.
    H("c")->dwReferenceTag = dwTagAB;
    EXPECT_EQ(Remove(H("a"), H("c")), EXSM_ITEM_NOT_REFERENCED);
    EXPECT_EQ(Data(H("c")), "<" + std::to_string(EXSM_ITEM_NOT_REFERENCED) + ">");
    for (uint32_t dwForged : {1u, 0x0B000001u, dwTagAB + 1000u, 0xFFFFFFFFu}) {
        H("c")->dwReferenceTag = dwForged;
        EXPECT_EQ(Remove(H("a"), H("c")), EXSM_ITEM_NOT_REFERENCED) << dwForged;
        EXPECT_EQ(Data(H("c")), "<" + std::to_string(EXSM_ITEM_NOT_REFERENCED) + ">");
        EX_REFINFO info{2, const_cast<char*>("zz")};
        EXItemSetReferenceData(H("c"), &info, &st);
        EXPECT_EQ(st, EXSM_ITEM_NOT_REFERENCED);
    }
    H("c")->dwReferenceTag = 0;
    EX_REFINFO foreign{3, &st};
    EXItemRefInfoReset(&foreign);
    EXPECT_EQ(foreign.cbData, 0u);
    EXPECT_EQ(foreign.pData, nullptr);
    EXItemRefInfoReset(nullptr);

    // An item another process destroyed: refused, and the data string is not left behind.
    const uint32_t dwD = Id("d");
    ASSERT_TRUE(AsWriter([&](BOARD_OBJECT* h) { return DestroyStoredItem(h, dwD) == DBSuccess; }));
    EXPECT_EQ(Add(H("a"), H("d"), "lost"), EXSM_DOES_NOT_EXIST);
    EXPECT_EQ(Count(DB_ITEMREFREC), cRefs);
    EXPECT_EQ(Count(DB_VARSTRINGREC), cStrings);
    EXPECT_EQ(Entries().size(), nEntries + 1);  // the writer's Destroyed entry
    Refresh();
    EXPECT_EQ(Add(H("a"), H("d")), EXSM_INVALID_HANDLE);
    EXPECT_EQ(Remove(H("a"), H("b")), EXSM_SUCCESS);
}

TEST_F(RefTest, TheTreeDestroyDropsReferencesBothWaysWithTheirDataAndMarkers) {
    ASSERT_EQ(Add(H("M1"), H("a"), "m1 to a"), EXSM_SUCCESS);
    ASSERT_EQ(Add(H("M1"), H("b"), "m1 to b"), EXSM_SUCCESS);
    ASSERT_EQ(Add(H("M2"), H("b")), EXSM_SUCCESS);
    ASSERT_EQ(Add(H("c"), H("M1"), "c to m1"), EXSM_SUCCESS);
    ASSERT_EQ(Add(H("M1"), H("M1"), "itself"), EXSM_SUCCESS);
    ASSERT_EQ(Add(H("c"), H("d"), "kept"), EXSM_SUCCESS);
    const uint32_t cStrings = Count(DB_VARSTRINGREC);
    const size_t nEntries = Entries().size();

    DB_ITEM m1 = StoredItem(m_hbrd, Id("M1"));
    catstore::CStoreTransaction tx(m_hbrd->pdb, "ItemDestroy", catstore::ItemWritePacket());
    ASSERT_EQ(tx.Status(), DBSuccess);
    ASSERT_EQ(tx.Finish(catstore::RefsDropForDestroy(m_hbrd->pdb, m1, m_hbrd)), DBSuccess);

    EXPECT_EQ(Count(DB_ITEMREFREC), 2u);  // M2 to b, c to d
    EXPECT_EQ(Count(DB_VARSTRINGREC), cStrings - 4);
    EXPECT_EQ(StoredAttributes("a") & EX_ATTR_REFERENCED, 0);
    EXPECT_EQ(StoredAttributes("b") & EX_ATTR_REFERENCED, EX_ATTR_REFERENCED);
    std::vector<qn::dbms::db_changeentryrec> v = Entries();
    ASSERT_EQ(v.size(), nEntries + 1);
    EXPECT_EQ(v.back().changekind, EX_CHANGE_MODIFIED);
    EXPECT_EQ(v.back().changeitemid, Id("a"));
    EXPECT_EQ(v.back().changefields, EX_FIELD_REFMARKER);
    EXSM_STATUS st;
    EXPECT_EQ(EXItemHasReference(H("M1"), H("a"), 0, &st), 0);
    EXPECT_EQ(EXItemHasReference(H("c"), H("M1"), 0, &st), 0);
    EXPECT_EQ(EXItemHasReference(H("c"), H("d"), 0, &st), 1);
    EXPECT_EQ(EXItemHasReference(H("M2"), H("b"), 0, &st), 1);
}
