// The catalog search and the two tree walks on real catalogs: every criterion against a
// brute-force reading of the same catalog, the four search shapes, sorting, visibility, new
// items joining open results, and walks whose routines change the tree they walk.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "item_helpers.h"
#include "notify.h"

using namespace cstest;
using Names_t = std::vector<std::string>;
using IDs_t = std::set<uint32_t>;

namespace {

// The stored catalog as the brute force sees it.
struct ModelItem {
    DB_ITEM item;
    bool fVisible = false;
};

std::string Lower(std::string s) {
    for (char& ch : s) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    return s;
}

bool Within(uint16_t wTest, uint32_t v, uint32_t lo, uint32_t hi) {
    if (v == 0) {
        return wTest == 5;
    }
    switch (wTest) {
        case 1:
            return v == lo;
        case 2:
            return v < lo;
        case 3:
            return v > lo;
        case 4:
            return lo <= v && v <= hi;
        case 5:
            return v < lo || v > hi;
        default:
            return false;
    }
}

// The matching rules, written from the criteria alone. fFiltered: the filter routine keeps the
// item (asked only when the text tests leave it to the routine).
bool BruteMatch(const EX_SEARCH& s, const DB_ITEM& it, bool fFiltered) {
    const uint16_t w = s.wMatchFlags;
    if ((w & 1) && it.item.uidresponsible != s.wResponsible) {
        return false;
    }
    if ((w & 2) &&
        !Within(s.wModifiedTest, it.item.tmlastmodified, s.dwModifiedLow, s.dwModifiedHigh)) {
        return false;
    }
    if ((w & 4) && !Within(s.wDueDateTest, it.item.duedate, s.dwDueDateLow, s.dwDueDateHigh)) {
        return false;
    }
    if ((w & 8) && (it.item.status & s.wStatusMask) == 0) {
        return false;
    }
    if ((w & 0x1D0) == 0) {
        return true;
    }
    std::string text(s.szText, strnlen(s.szText, sizeof s.szText));
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    const bool fCase = (s.wOptions & 1) != 0;
    auto has = [&](std::string hay) {
        return fCase ? hay.find(text) != std::string::npos
                     : Lower(hay).find(Lower(text)) != std::string::npos;
    };
    if ((w & 0x10) && has(it.item.itemname)) {
        return true;
    }
    if ((w & 0x40) && has(it.item.itemdescription)) {
        return true;
    }
    if ((w & 0x80) && has(it.vsiNote.value)) {
        return true;
    }
    return (w & 0x100) != 0 && fFiltered;
}

// The filter routine of the tests: keeps items with an even id and notes what it saw.
struct FilterLog {
    int nCalls = 0;
    bool fMarked = true;
};
FilterLog g_filter;
int KeepEven(const DB_ITEM* pItem, ITEM_OBJECT* hItem, uintptr_t) {
    ++g_filter.nCalls;
    g_filter.fMarked = g_filter.fMarked && (pItem->dwFieldFlags & EX_MATCH_FILTER) != 0 &&
                       (hItem->pdbItem->dwFieldFlags & EX_MATCH_FILTER) == 0;
    return pItem->item.itemid % 2 == 0;
}

class SearchTest : public CatalogTest {
  protected:
    void SetUp() override {
        LogTo(m_dir.file("log.txt"));
        MakeCatalog();
        EXSM_STATUS st;
        m_hbrd = Open("SYSTEM", "", &st);
        ASSERT_NE(m_hbrd, nullptr) << EXStatusText(st);
        m_hRoot = EXBoardGetRootFolder(m_hbrd);
    }
    void TearDown() override {
        EXSM_STATUS st;
        if (m_hbrd != nullptr) {
            EXBoardClose(m_hbrd, &st);
        }
    }
    std::string Log() { return qn::test::ReadFile(m_dir.file("log.txt")); }

    // An item or folder below the parent with its searched fields written as given.
    uint32_t Add(ITEM_OBJECT* hParent, const std::string& strName, uint16_t wType = 1,
                 const char* pszDescription = "", const char* pszNote = "", uint16_t wStatus = 0,
                 uint32_t dwDue = 0, uint32_t dwModified = 0, uint16_t wResponsible = 0,
                 bool fPrivate = false) {
        ITEM_OBJECT* h = NewItem(m_hbrd, hParent, strName.c_str(), wType, nullptr, fPrivate ? 3 : 1,
                                 fPrivate ? 77 : 0);
        EXPECT_NE(h, nullptr);
        if (h == nullptr) {
            return 0;
        }
        const uint32_t dwID = IdOf(h);
        EXSM_STATUS st;
        EXItemRelease(h, &st);
        DB_ITEM item = StoredItem(m_hbrd, dwID);
        std::snprintf(item.item.itemdescription, sizeof item.item.itemdescription, "%s",
                      pszDescription);
        item.vsiNote.value = pszNote;
        item.item.status = wStatus;
        item.item.duedate = dwDue;
        item.item.tmlastmodified = dwModified;
        item.item.uidresponsible = wResponsible;
        item.dwFieldFlags = EX_FIELD_ITEM | EX_FIELD_NOTE;
        EXPECT_EQ(catstore::ItemWrite(m_hbrd->pdb, &item, nullptr, m_hbrd), DBSuccess);
        return dwID;
    }

    ITEM_OBJECT* Handle(uint32_t dwID) { return FindItem(m_hbrd, dwID); }

    // A few hundred items over nested folders, with every searched field spread out; about a
    // tenth are private to user 77. The folder ids in m_folders, the first the top one.
    void MakeTree() {
        uint32_t seed = 12345;
        auto next = [&](uint32_t n) {
            seed = seed * 1103515245u + 12345u;
            return (seed >> 16) % n;
        };
        static const char* const apszWords[] = {"zqAlpha", "ZQbeta", "gamma",  "Delta", "zqx",
                                                "omega",   "Needle", "needle", "beta",  "Zq"};
        static const uint32_t adwTimes[] = {0, 1000, 2000, 3000, 4000};
        static const uint32_t adwDues[] = {0, 100, 200, 300, 400, 500};
        m_folders.push_back(Add(m_hRoot, "zq top", 4, "alpha folder", "", 1, 0, 2000));
        for (int i = 0; m_folders.size() < 14; ++i) {
            uint32_t dwParent = m_folders[next(uint32_t(m_folders.size()))];
            ITEM_OBJECT* hParent = Handle(dwParent);
            m_folders.push_back(Add(hParent,
                                    std::string(apszWords[next(10)]) + " f" + std::to_string(i), 4,
                                    i % 3 ? "" : "alpha", "", uint16_t(next(16)), adwDues[next(6)],
                                    adwTimes[next(5)], uint16_t(next(4))));
            EXSM_STATUS st;
            EXItemRelease(hParent, &st);
        }
        for (int i = 0; i < 260; ++i) {
            uint32_t dwParent = m_folders[next(uint32_t(m_folders.size()))];
            ITEM_OBJECT* hParent = Handle(dwParent);
            std::string strName = std::string(apszWords[next(10)]) + " " + std::to_string(i);
            std::string strDesc = next(4) == 0 ? "some alpha text" : "plain";
            std::string strNote =
                next(3) == 0 ? std::string("a Needle inside ") + apszWords[next(10)] : "";
            Add(hParent, strName, 1, strDesc.c_str(), strNote.c_str(), uint16_t(next(16)),
                adwDues[next(6)], adwTimes[next(5)], uint16_t(next(4)), next(10) == 0);
            EXSM_STATUS st;
            EXItemRelease(hParent, &st);
        }
    }

    // Reopens the catalog as ann, who may not see what is private to user 77.
    void ReopenAsAnn() {
        EXSM_STATUS st;
        if (AddUser(m_hbrd, "ann", "a") == 0) {
            ADD_FAILURE() << "no user";
        }
        EXBoardClose(m_hbrd, &st);
        m_hbrd = Open("ann", "a", &st);
        ASSERT_NE(m_hbrd, nullptr) << EXStatusText(st);
        m_hRoot = EXBoardGetRootFolder(m_hbrd);
    }

    // Every stored item, read record by record without the search's code.
    std::map<uint32_t, ModelItem> Model() {
        std::map<uint32_t, ModelItem> model;
        catstore::CDbContext* pdb = m_hbrd->pdb;
        std::vector<catstore::DBA> dbas;
        {
            catstore::CStoreRead read(pdb, catstore::ItemReadPacket());
            for (int rc = pdb->ScanFirst(qn::dbms::DB_ITEMREC); rc == qn::dbms::S_OKAY;
                 rc = pdb->ScanNext(qn::dbms::DB_ITEMREC)) {
                catstore::DBA dba = 0;
                pdb->CurrentDba(&dba);
                dbas.push_back(dba);
            }
        }
        for (catstore::DBA dba : dbas) {
            ModelItem m;
            EXPECT_EQ(catstore::ItemReadAt(pdb, dba, &m.item), DBSuccess);
            m.fVisible = catstore::IsItemVisible(m_hbrd, m.item);
            model[m.item.item.itemid] = std::move(m);
        }
        return model;
    }

    static bool Below(const std::map<uint32_t, ModelItem>& model, uint32_t dwID, uint32_t dwTop) {
        for (int n = 0; n < 64 && dwID != 0; ++n) {
            auto it = model.find(dwID);
            if (it == model.end()) {
                return false;
            }
            dwID = it->second.item.item.itemparentid;
            if (dwID == dwTop) {
                return true;
            }
        }
        return false;
    }

    // What a search must find, by brute force over the model.
    static IDs_t Expected(const std::map<uint32_t, ModelItem>& model, const EX_SEARCH& s,
                          EX_SEARCHFILTER pfnFilter) {
        const uint32_t dwStart = s.dwStartFolderID == 0 ? 1 : s.dwStartFolderID;
        IDs_t ids;
        for (const auto& [dwID, m] : model) {
            const uint32_t dwParent = m.item.item.itemparentid;
            bool fInScope =
                dwID == dwStart ||
                (s.fRecursive ? dwStart == 1 || Below(model, dwID, dwStart) : dwParent == dwStart);
            if (dwID != dwStart && (m.item.item.type & 5) == 0) {
                fInScope = false;
            }
            const bool fFiltered = pfnFilter == nullptr || dwID % 2 == 0;
            if (fInScope && m.fVisible && BruteMatch(s, m.item, fFiltered)) {
                ids.insert(dwID);
            }
        }
        return ids;
    }

    IDs_t Found(const EX_SEARCH* pSearch, EX_SEARCHFILTER pfnFilter = nullptr,
                uint16_t wSortCode = EX_SORT_NAME, Names_t* pNames = nullptr) {
        EXSM_STATUS st;
        ITEM_ITERATOR* p = EXBoardFindItems(m_hbrd, pSearch, wSortCode, pfnFilter, nullptr, 0, &st);
        EXPECT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
        IDs_t ids;
        if (p == nullptr) {
            return ids;
        }
        EXPECT_EQ(EXItemIteratorGetIndex(p), -1);
        const long nCount = EXItemIteratorCount(p);
        for (ITEM_OBJECT* h = EXItemIteratorNext(p); h != nullptr; h = EXItemIteratorNext(p)) {
            EXPECT_TRUE(ids.insert(IdOf(h)).second) << "found twice: " << NameOf(h);
            if (pNames != nullptr) {
                pNames->push_back(NameOf(h));
            }
        }
        EXPECT_EQ(nCount, static_cast<long>(ids.size()));
        EXItemIteratorRelease(p, 1);
        return ids;
    }

    BOARD_OBJECT* m_hbrd = nullptr;
    ITEM_OBJECT* m_hRoot = nullptr;
    std::vector<uint32_t> m_folders;
};

EX_SEARCH Criteria(uint16_t wFlags, const char* pszText = "", uint16_t wOptions = 0) {
    EX_SEARCH s{};
    s.wMatchFlags = wFlags;
    std::snprintf(s.szText, sizeof s.szText, "%s", pszText);
    s.wOptions = wOptions;
    return s;
}

}  // namespace

TEST_F(SearchTest, EachCriterionInEachShapeFindsWhatABruteForceFinds) {
    MakeTree();
    ReopenAsAnn();
    const std::map<uint32_t, ModelItem> model = Model();
    struct Case {
        const char* pszName;
        EX_SEARCH s;
        EX_SEARCHFILTER pfnFilter;
    };
    std::vector<Case> cases;
    auto add = [&](const char* pszName, EX_SEARCH s, EX_SEARCHFILTER pfn = nullptr) {
        cases.push_back({pszName, s, pfn});
    };
    EX_SEARCH s = Criteria(EX_MATCH_RESPONSIBLE);
    s.wResponsible = 2;
    add("responsible", s);
    for (uint16_t wTest = 1; wTest <= 6; ++wTest) {
        s = Criteria(EX_MATCH_MODIFIED);
        s.wModifiedTest = wTest;
        s.dwModifiedLow = 2000;
        s.dwModifiedHigh = wTest == 5 ? 0xFFFFFFFFu : 3000;
        add("modified", s);
        s = Criteria(EX_MATCH_DUEDATE);
        s.wDueDateTest = wTest;
        s.dwDueDateLow = 200;
        s.dwDueDateHigh = 400;
        add("due date", s);
    }
    s = Criteria(EX_MATCH_STATUS);
    s.wStatusMask = 0x5;
    add("status mask", s);
    add("name", Criteria(EX_MATCH_NAME, "ZQ"));
    add("name with case", Criteria(EX_MATCH_NAME, "ZQ", EX_SEARCH_CASE));
    add("description", Criteria(EX_MATCH_DESCRIPTION, "ALPHA"));
    add("description with case", Criteria(EX_MATCH_DESCRIPTION, "ALPHA", EX_SEARCH_CASE));
    add("note", Criteria(EX_MATCH_NOTE, "needle"));
    add("note with case", Criteria(EX_MATCH_NOTE, "Needle", EX_SEARCH_CASE));
    add("every text", Criteria(EX_MATCH_NAME | EX_MATCH_DESCRIPTION | EX_MATCH_NOTE, "beta   "));
    s = Criteria(EX_MATCH_STATUS | EX_MATCH_NAME, "zq");
    s.wStatusMask = 0x2;
    add("status and name", s);
    add("filter", Criteria(EX_MATCH_NAME | EX_MATCH_FILTER, "needle"), KeepEven);
    add("filter without routine", Criteria(EX_MATCH_FILTER, "x"));
    add("nothing", Criteria(0));
    // A text that fills its array without a zero byte is read to the array's end.
    s = Criteria(EX_MATCH_NAME);
    std::memset(s.szText, ' ', sizeof s.szText);
    std::memcpy(s.szText, "zqa", 3);
    std::memset(s.szName, 'n', sizeof s.szName);
    add("unterminated text", s);

    const uint32_t dwTop = m_folders[0];
    const uint32_t dwInner = m_folders[3];
    struct Shape {
        const char* pszName;
        uint32_t dwStart;
        int fRecursive;
    } shapes[] = {{"root, recursive", 0, 1},
                  {"root only", 1, 0},
                  {"top folder", dwTop, 0},
                  {"below top folder", dwTop, 1},
                  {"below an inner folder", dwInner, 1}};
    size_t cNonEmpty = 0;
    for (const Case& c : cases) {
        for (const Shape& shape : shapes) {
            EX_SEARCH search = c.s;
            search.dwStartFolderID = shape.dwStart;
            search.fRecursive = shape.fRecursive;
            g_filter = FilterLog{};
            const IDs_t expected = Expected(model, search, c.pfnFilter);
            EXPECT_EQ(Found(&search, c.pfnFilter), expected) << c.pszName << ", " << shape.pszName;
            EXPECT_TRUE(g_filter.fMarked) << c.pszName;
            cNonEmpty += expected.empty() ? 0 : 1;
        }
    }
    EXPECT_GT(cNonEmpty, cases.size() * 3);
    // No criteria at all is every item ann may see; the private ones are none of them.
    EX_SEARCH all{};
    all.fRecursive = 1;
    const IDs_t found = Found(&all);
    size_t cPrivate = 0;
    for (const auto& [dwID, m] : model) {
        if (!m.fVisible) {
            ++cPrivate;
            EXPECT_EQ(found.count(dwID), 0u);
        }
    }
    EXPECT_GT(cPrivate, 10u);
    EXPECT_EQ(Found(nullptr), Expected(model, EX_SEARCH{}, nullptr));
}

TEST_F(SearchTest, TheStartFolderLeadsOnlyWhenItMatchesAndResultsAreSortedByTheCode) {
    const uint32_t dwTop = Add(m_hRoot, "zq top", 4, "", "", 4, 300, 3000);
    ITEM_OBJECT* hTop = Handle(dwTop);
    const uint32_t dwSub = Add(hTop, "sub", 4, "", "", 2, 100, 1000);
    ITEM_OBJECT* hSub = Handle(dwSub);
    Add(hTop, "Zq b", 1, "", "", 8, 500, 2000);
    Add(hSub, "zq a", 1, "", "", 1, 200, 4000);
    Add(hSub, "zq C", 1, "", "", 16, 400, 500);
    EX_SEARCH s = Criteria(EX_MATCH_NAME, "zq");
    s.dwStartFolderID = dwTop;
    s.fRecursive = 1;
    struct Case {
        uint16_t wCode;
        Names_t expected;
    } cases[] = {
        {EX_SORT_NAME, {"zq a", "Zq b", "zq C", "zq top"}},
        {EX_SORT_NAME | EX_SORT_DESCENDING, {"zq top", "zq C", "Zq b", "zq a"}},
        {EX_SORT_MODIFIED, {"zq C", "Zq b", "zq top", "zq a"}},
        {EX_SORT_STATUS | EX_SORT_DESCENDING, {"zq C", "Zq b", "zq top", "zq a"}},
        {EX_SORT_DUEDATE, {"zq a", "zq top", "zq C", "Zq b"}},
        {7, {"zq a", "Zq b", "zq C", "zq top"}},
    };
    for (const Case& c : cases) {
        Names_t names;
        Found(&s, nullptr, c.wCode, &names);
        EXPECT_EQ(names, c.expected) << c.wCode;
    }
    // One folder only: its own items, and itself as it matches.
    s.fRecursive = 0;
    Names_t names;
    Found(&s, nullptr, EX_SORT_MODIFIED, &names);
    EXPECT_EQ(names, (Names_t{"Zq b", "zq top"}));
    // A start folder that does not match is no result.
    s.dwStartFolderID = dwSub;
    names.clear();
    Found(&s, nullptr, EX_SORT_NAME | EX_SORT_DESCENDING, &names);
    EXPECT_EQ(names, (Names_t{"zq C", "zq a"}));
    EXSM_STATUS st;
    EXItemRelease(hSub, &st);
    EXItemRelease(hTop, &st);
}

TEST_F(SearchTest, BadStartsAndHandlesGiveClearStatuses) {
    const uint32_t dwItem = Add(m_hRoot, "plain item");
    EXSM_STATUS st;
    EXPECT_EQ(EXBoardFindItems(nullptr, nullptr, 2, nullptr, nullptr, 0, &st), nullptr);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EX_SEARCH s{};
    s.dwStartFolderID = 987654;
    EXPECT_EQ(EXBoardFindItems(m_hbrd, &s, 2, nullptr, nullptr, 0, &st), nullptr);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    s.dwStartFolderID = dwItem;
    EXPECT_EQ(EXBoardFindItems(m_hbrd, &s, 2, nullptr, nullptr, 0, &st), nullptr);
    EXPECT_EQ(st, EXSM_FOLDER_REQUIRED);
}

TEST_F(SearchTest, NewItemsJoinOpenResultsOnlyWhenTheyMatchAndLieBelowTheStart) {
    const uint32_t dwTop = Add(m_hRoot, "top", 4);
    ITEM_OBJECT* hTop = Handle(dwTop);
    const uint32_t dwSub = Add(hTop, "sub", 4);
    ITEM_OBJECT* hSub = Handle(dwSub);
    const uint32_t dwDeep = Add(hSub, "deep", 4);
    Add(hSub, "zq old");
    EX_SEARCH s = Criteria(EX_MATCH_NAME, "zq");
    s.dwStartFolderID = dwTop;
    s.fRecursive = 1;
    Recorder rec;
    EXSM_STATUS st;
    ITEM_ITERATOR* p =
        EXBoardFindItems(m_hbrd, &s, EX_SORT_NAME, nullptr, RecordCall, rec.Value(), &st);
    ASSERT_NE(p, nullptr) << EXStatusText(st);
    EXPECT_EQ(Names(p), (Names_t{"zq old"}));
    EXSM_STATUS stNew;
    ITEM_OBJECT* hNew = NewItem(m_hbrd, hSub, "zq new", 1, &stNew);
    ASSERT_NE(hNew, nullptr);
    NewItem(m_hbrd, hSub, "other", 1, &stNew);
    NewItem(m_hbrd, m_hRoot, "zq outside", 1, &stNew);
    EXPECT_EQ(Names(p), (Names_t{"zq new", "zq old"}));
    ASSERT_EQ(rec.Count(EX_CHANGE_CREATED), 1u);
    EXPECT_EQ(rec.calls[0].strName, "zq new");
    EXPECT_EQ(rec.calls[0].nIndex, 0);
    // Another process's new item two folders down, in a folder nobody here holds.
    ASSERT_NE(AddUser(m_hbrd, "writer", "w"), 0);
    ASSERT_TRUE(InOtherProcess(m_strPath, "writer", "w", [&](BOARD_OBJECT* h) {
        ITEM_OBJECT* hDeep = FindItem(h, dwDeep);
        EXSM_STATUS s2;
        bool fOk = NewItem(h, hDeep, "zq far", 1, &s2) != nullptr &&
                   NewItem(h, hDeep, "far", 1, &s2) != nullptr;
        return fOk;
    }));
    EXBoardRefresh(m_hbrd, &st);
    EXPECT_EQ(Names(p), (Names_t{"zq far", "zq new", "zq old"}));
    EXPECT_EQ(EXItemIteratorCount(p), 3);
    // A one-folder search takes in only what goes into that folder.
    EX_SEARCH sOne = s;
    sOne.dwStartFolderID = dwSub;
    sOne.fRecursive = 0;
    ITEM_ITERATOR* pOne = EXBoardFindItems(m_hbrd, &sOne, EX_SORT_NAME, nullptr, nullptr, 0, &st);
    ASSERT_NE(pOne, nullptr);
    ITEM_OBJECT* hDeepHandle = Handle(dwDeep);
    NewItem(m_hbrd, hDeepHandle, "zq deeper", 1, &stNew);
    NewItem(m_hbrd, hSub, "zq sibling", 1, &stNew);
    EXPECT_EQ(Names(pOne), (Names_t{"zq new", "zq old", "zq sibling"}));
    // Released results are never parked: the folder's own listing is a listing of its items.
    EXItemIteratorRelease(pOne, 0);
    ITEM_ITERATOR* pList = EXFolderGetItems(m_hbrd, hSub, 1, EX_SORT_NAME, nullptr, 0, &st);
    EXPECT_EQ(Names(pList), (Names_t{"deep", "other", "zq new", "zq old", "zq sibling"}));
    EXItemIteratorRelease(pList, 1);
    EXItemIteratorRelease(p, 1);
    EXItemRelease(hDeepHandle, &st);
    EXItemRelease(hSub, &st);
    EXItemRelease(hTop, &st);
    EXBoardClose(m_hbrd, &st);
    m_hbrd = nullptr;
    EXPECT_EQ(CountOf(Log(), "LRU: Retiring iterator "), 0u);
}

// ---- Tree walks -----------------------------------------------------------------------------

namespace {

struct VisitLog {
    std::vector<std::string> folders;
    std::vector<long> counts;
    std::function<EXSM_STATUS(ITEM_OBJECT*, ITEM_ITERATOR*)> onVisit;
};

EXSM_STATUS Visit(ITEM_OBJECT* hFolder, ITEM_ITERATOR* pItems, uintptr_t ulValue) {
    auto* pLog = reinterpret_cast<VisitLog*>(ulValue);
    pLog->folders.push_back(NameOf(hFolder));
    pLog->counts.push_back(EXItemIteratorCount(pItems));
    return pLog->onVisit ? pLog->onVisit(hFolder, pItems) : EXSM_SUCCESS;
}

struct EnumLog {
    std::vector<std::string> calls;  // "folder:index:item"
    std::function<void(ITEM_OBJECT*, ITEM_OBJECT*, long, EXSM_STATUS*)> onItem;
};

void Enumerate(ITEM_OBJECT* hFolder, long nCount, ITEM_OBJECT* hItem, long nIndex,
               uintptr_t ulValue, EXSM_STATUS* pStatus) {
    auto* pLog = reinterpret_cast<EnumLog*>(ulValue);
    pLog->calls.push_back(NameOf(hFolder) + "/" + std::to_string(nCount) + ":" +
                          std::to_string(nIndex) + ":" + (hItem ? NameOf(hItem) : "-"));
    if (pLog->onItem) {
        pLog->onItem(hFolder, hItem, nIndex, pStatus);
    }
}

}  // namespace

class WalkTest : public SearchTest {
  protected:
    // top { b(2000) { c(1000) }, a(1000), x, y }: by modified time a, then b.
    void MakeWalkTree() {
        m_dwTop = Add(m_hRoot, "top", 4, "", "", 0, 0, 500);
        ITEM_OBJECT* hTop = Handle(m_dwTop);
        m_dwB = Add(hTop, "b", 4, "", "", 0, 0, 2000);
        ITEM_OBJECT* hB = Handle(m_dwB);
        m_dwC = Add(hB, "c", 4, "", "", 0, 0, 1000);
        Add(hB, "in b");
        m_dwA = Add(hTop, "a", 4, "", "", 0, 0, 1000);
        Add(hTop, "y", 1, "", "", 0, 0, 3000);
        Add(hTop, "x", 1, "", "", 0, 0, 4000);
        EXSM_STATUS st;
        EXItemRelease(hB, &st);
        EXItemRelease(hTop, &st);
        m_hTop = Handle(m_dwTop);
    }
    size_t OwnedHandles() const { return m_hbrd->pNotify->m_ownedHandles.size(); }

    uint32_t m_dwTop = 0, m_dwA = 0, m_dwB = 0, m_dwC = 0;
    ITEM_OBJECT* m_hTop = nullptr;
};

TEST_F(WalkTest, VisitFoldersSeesEachFolderBeforeThoseBelowItWithOrWithoutTransactions) {
    MakeWalkTree();
    for (int fTransaction : {0, 1}) {
        VisitLog log;
        EXSM_STATUS st;
        const size_t cHandles = OwnedHandles();
        EXFolderVisitFolders(m_hTop, fTransaction, Visit, reinterpret_cast<uintptr_t>(&log), &st);
        EXPECT_EQ(st, EXSM_SUCCESS);
        EXPECT_EQ(log.folders, (Names_t{"top", "a", "b", "c"})) << fTransaction;
        EXPECT_EQ(log.counts, (std::vector<long>{4, 0, 2, 0}));
        EXPECT_EQ(OwnedHandles(), cHandles);
    }
    // A failing routine stops the walk with its status; its transaction is aborted.
    VisitLog log;
    log.onVisit = [](ITEM_OBJECT* h, ITEM_ITERATOR*) {
        return NameOf(h) == "a" ? EXSM_ACCESS_DENIED : EXSM_SUCCESS;
    };
    EXSM_STATUS st;
    EXFolderVisitFolders(m_hTop, 1, Visit, reinterpret_cast<uintptr_t>(&log), &st);
    EXPECT_EQ(st, EXSM_ACCESS_DENIED);
    EXPECT_EQ(log.folders, (Names_t{"top", "a"}));
    EXBoardClose(m_hbrd, &st);
    m_hbrd = nullptr;
    const std::string strLog = Log();
    EXPECT_EQ(CountOf(strLog, "EXSM: EXBoardBeginTransaction ('EXFolderVisitFolders')"), 6u);
    EXPECT_EQ(CountOf(strLog, "EXSM: EXBoardAbortTransaction"), 1u);
}

TEST_F(WalkTest, AVisitRoutineThatChangesTheTreeNeitherSkipsNorRepeatsNorCrashes) {
    MakeWalkTree();
    VisitLog log;
    BOARD_OBJECT* hbrd = m_hbrd;
    const uint32_t dwC = m_dwC, dwA = m_dwA;
    log.onVisit = [&](ITEM_OBJECT* h, ITEM_ITERATOR*) {
        const std::string strName = NameOf(h);
        EXSM_STATUS s2;
        if (strName == "top") {
            // A new folder in the folder being visited, and one folder taken out.
            NewItem(hbrd, h, "new", 4, &s2);
            EXPECT_EQ(DestroyStoredItem(hbrd, dwA), DBSuccess);
            catstore::EXNotifySendDeferred(hbrd);
        }
        if (strName == "c") {
            // The folder being visited itself.
            EXPECT_EQ(DestroyStoredItem(hbrd, dwC), DBSuccess);
            catstore::EXNotifySendDeferred(hbrd);
        }
        return EXSM_SUCCESS;
    };
    EXSM_STATUS st;
    EXFolderVisitFolders(m_hTop, 1, Visit, reinterpret_cast<uintptr_t>(&log), &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(log.folders, (Names_t{"top", "b", "c"}));
    // The next walk sees the tree as it is now.
    VisitLog again;
    EXFolderVisitFolders(m_hTop, 0, Visit, reinterpret_cast<uintptr_t>(&again), &st);
    EXPECT_EQ(again.folders, (Names_t{"top", "b", "new"}));
}

TEST_F(WalkTest, EnumItemsGoesBreadthFirstAndStopsWhereTheRoutineSaysLeavingNoHandles) {
    MakeWalkTree();
    const size_t cHandles = OwnedHandles();
    EnumLog log;
    EXSM_STATUS st;
    EXItemEnumItems(m_hTop, 0, Enumerate, reinterpret_cast<uintptr_t>(&log), &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(log.calls, (Names_t{"top/4:-1:-", "top/4:0:a", "top/4:1:b", "top/4:2:x", "top/4:3:y",
                                  "a/0:-1:-", "b/2:-1:-", "b/2:0:c", "b/2:1:in b", "c/0:-1:-"}));
    EXPECT_EQ(OwnedHandles(), cHandles);
    // Stopping at b's first item leaves the queued folders unvisited and nothing held.
    EnumLog stop;
    stop.onItem = [](ITEM_OBJECT* hFolder, ITEM_OBJECT*, long nIndex, EXSM_STATUS* pStatus) {
        if (NameOf(hFolder) == "b" && nIndex == 0) {
            *pStatus = EXSM_ACCESS_DENIED;
        }
    };
    EXItemEnumItems(m_hTop, 0, Enumerate, reinterpret_cast<uintptr_t>(&stop), &st);
    EXPECT_EQ(st, EXSM_ACCESS_DENIED);
    EXPECT_EQ(stop.calls.back(), "b/2:0:c");
    EXPECT_EQ(stop.calls.size(), 8u);
    EXPECT_EQ(OwnedHandles(), cHandles);
    // A routine that destroys the next item and the queued folder: both are left out.
    EnumLog change;
    BOARD_OBJECT* hbrd = m_hbrd;
    const uint32_t dwB = m_dwB, dwC = m_dwC;
    change.onItem = [&](ITEM_OBJECT*, ITEM_OBJECT* hItem, long, EXSM_STATUS*) {
        if (hItem != nullptr && NameOf(hItem) == "a") {
            EXPECT_EQ(DestroyStoredItem(hbrd, dwC), DBSuccess);
            EXPECT_EQ(DestroyStoredItem(hbrd, dwB), DBSuccess);
            catstore::EXNotifySendDeferred(hbrd);
        }
    };
    EXItemEnumItems(m_hTop, 0, Enumerate, reinterpret_cast<uintptr_t>(&change), &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(change.calls,
              (Names_t{"top/4:-1:-", "top/4:0:a", "top/4:1:x", "top/4:2:y", "a/0:-1:-"}));
    EXPECT_EQ(OwnedHandles(), cHandles);
}
