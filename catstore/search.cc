// The catalog search: matching, the four shapes of EXBoardFindItems and the result lists' share
// of the Created delivery.
#include "search.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "board.h"
#include "frame.h"
#include "handles.h"
#include "iterators.h"
#include "locks.h"
#include "notify.h"
#include "platform/liveobjects.h"
#include "trace.h"

static_assert(sizeof(EX_SEARCH) == 460, "EX_SEARCH is the 460-byte record of the interface");

namespace catstore {

using qn::platform::ObjectKind;

// Folders nest at most this deep for a walk below one (a damaged catalog may loop).
static constexpr int MAX_TREE_DEPTH = 256;
// Items read per store fetch while gathering results.
static constexpr size_t SEARCH_BATCH = 512;

// ---- Matching -------------------------------------------------------------------------------

static unsigned char Fold(unsigned char ch) {
    return ch >= 'A' && ch <= 'Z' ? static_cast<unsigned char>(ch - 'A' + 'a') : ch;
}

// The length of a text in a fixed array, without its trailing blanks.
static size_t TrimmedLength(const char* pch, size_t cbArray) {
    size_t cch = strnlen(pch, cbArray);
    while (cch > 0 && pch[cch - 1] == ' ') {
        --cch;
    }
    return cch;
}

CSearchCriteria PrepareCriteria(const EX_SEARCH* pSearch) {
    CSearchCriteria c;
    if (pSearch == nullptr) {
        return c;
    }
    c.wMatchFlags = pSearch->wMatchFlags;
    c.dwStartFolderID = pSearch->dwStartFolderID != 0 ? pSearch->dwStartFolderID : 1;
    c.fRecursive = pSearch->fRecursive != 0;
    c.fCase = (pSearch->wOptions & EX_SEARCH_CASE) != 0;
    c.wResponsible = pSearch->wResponsible;
    c.wModifiedTest = pSearch->wModifiedTest;
    c.dwModifiedLow = pSearch->dwModifiedLow;
    c.dwModifiedHigh = pSearch->dwModifiedHigh;
    c.wDueDateTest = pSearch->wDueDateTest;
    c.dwDueDateLow = pSearch->dwDueDateLow;
    c.dwDueDateHigh = pSearch->dwDueDateHigh;
    c.wStatusMask = pSearch->wStatusMask;
    std::memcpy(c.achName, pSearch->szName, TrimmedLength(pSearch->szName, sizeof pSearch->szName));
    c.cchText = TrimmedLength(pSearch->szText, sizeof pSearch->szText);
    std::memcpy(c.achText, pSearch->szText, c.cchText);
    const uint16_t wTextFlags = 0x01F0;
    if ((c.wMatchFlags & wTextFlags) != 0 && !c.fCase) {
        for (size_t i = 0; i < c.cchText; ++i) {
            c.achText[i] = static_cast<char>(Fold(static_cast<unsigned char>(c.achText[i])));
        }
    }
    return c;
}

static bool Compare(uint16_t wTest, uint32_t v, uint32_t dwLow, uint32_t dwHigh) {
    if (v == 0) {
        return wTest == EX_COMPARE_OUTSIDE;
    }
    switch (wTest) {
        case EX_COMPARE_EQUAL:
            return v == dwLow;
        case EX_COMPARE_BEFORE:
            return v < dwLow;
        case EX_COMPARE_AFTER:
            return v > dwLow;
        case EX_COMPARE_BETWEEN:
            return dwLow <= v && v <= dwHigh;
        case EX_COMPARE_OUTSIDE:
            return v < dwLow || v > dwHigh;
        default:
            return false;
    }
}

// Whether the search text occurs in cch characters at pch (folded unless the case counts).
static bool Contains(const CSearchCriteria& c, const char* pch, size_t cch) {
    const size_t m = c.cchText;
    if (m == 0) {
        return true;
    }
    if (cch < m) {
        return false;
    }
    if (c.fCase) {
        return memmem(pch, cch, c.achText, m) != nullptr;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(pch);
    const auto* t = reinterpret_cast<const unsigned char*>(c.achText);
    const unsigned char first = t[0];
    for (size_t i = 0; i + m <= cch; ++i) {
        if (Fold(p[i]) != first) {
            continue;
        }
        size_t j = 1;
        while (j < m && Fold(p[i + j]) == t[j]) {
            ++j;
        }
        if (j == m) {
            return true;
        }
    }
    return false;
}

// What is left when the record's texts did not match: the note, the filter routine, or nothing.
static MatchResult Undecided(const CSearchCriteria& c, bool fNoteLeft) {
    if (fNoteLeft) {
        return MatchResult::NeedNote;
    }
    return (c.wMatchFlags & EX_MATCH_FILTER) != 0 ? MatchResult::Marked : MatchResult::Reject;
}

MatchResult MatchRecord(const CSearchCriteria& c, const qn::dbms::db_itemrec& rec) {
    const uint16_t w = c.wMatchFlags;
    if ((w & EX_MATCH_RESPONSIBLE) != 0 && rec.uidresponsible != c.wResponsible) {
        return MatchResult::Reject;
    }
    if ((w & EX_MATCH_MODIFIED) != 0 &&
        !Compare(c.wModifiedTest, rec.tmlastmodified, c.dwModifiedLow, c.dwModifiedHigh)) {
        return MatchResult::Reject;
    }
    if ((w & EX_MATCH_DUEDATE) != 0 &&
        !Compare(c.wDueDateTest, rec.duedate, c.dwDueDateLow, c.dwDueDateHigh)) {
        return MatchResult::Reject;
    }
    if ((w & EX_MATCH_STATUS) != 0 && (rec.status & c.wStatusMask) == 0) {
        return MatchResult::Reject;
    }
    if ((w & (EX_MATCH_NAME | EX_MATCH_DESCRIPTION | EX_MATCH_NOTE | EX_MATCH_FILTER)) == 0) {
        return MatchResult::Accept;
    }
    if ((w & EX_MATCH_NAME) != 0 &&
        Contains(c, rec.itemname, strnlen(rec.itemname, sizeof rec.itemname))) {
        return MatchResult::Accept;
    }
    if ((w & EX_MATCH_DESCRIPTION) != 0 &&
        Contains(c, rec.itemdescription,
                 strnlen(rec.itemdescription, sizeof rec.itemdescription))) {
        return MatchResult::Accept;
    }
    return Undecided(c, (w & EX_MATCH_NOTE) != 0 && rec.itemnote != 0);
}

MatchResult MatchNote(const CSearchCriteria& c, const std::string& strNote) {
    if (Contains(c, strNote.data(), strNote.size())) {
        return MatchResult::Accept;
    }
    return Undecided(c, false);
}

MatchResult MatchItem(const CSearchCriteria& c, const DB_ITEM& item) {
    const MatchResult match = MatchRecord(c, item.item);
    return match == MatchResult::NeedNote ? MatchNote(c, item.vsiNote.value) : match;
}

// ---- The search -----------------------------------------------------------------------------

namespace {

// Frees a result list under construction unless it is handed out.
struct IteratorDeleter {
    void operator()(ITEM_ITERATOR* p) const { FreeIterator(p); }
};
using OwnedIterator = std::unique_ptr<ITEM_ITERATOR, IteratorDeleter>;

// The results gathered so far and, beside them, the copies of those the filter routine decides
// (with their mark); the cached items never carry the mark.
class CResultGatherer {
  public:
    explicit CResultGatherer(ITEM_ITERATOR* pIter) : m_pIter(pIter) {}

    // Appends a fetched item when the user may see it.
    void Add(DB_ITEM&& item) {
        if (!IsItemVisible(m_pIter->hBoard, item)) {
            return;
        }
        const bool fMarked = (item.dwFieldFlags & EX_MATCH_FILTER) != 0;
        item.dwFieldFlags = 0;
        if (m_pIter->slots.size() == m_pIter->slots.capacity()) {
            m_pIter->slots.reserve(std::max<size_t>(20, m_pIter->slots.size() * 2));
        }
        if (fMarked) {
            m_marked.reserve(m_marked.size() + 1);
        }
        ITEM_OBJECT* h = InsertHandle(m_pIter, m_pIter->Last() + 1, item, 0);
        if (h == nullptr) {
            throw std::bad_alloc();
        }
        if (fMarked) {
            item.dwFieldFlags = EX_MATCH_FILTER;
            m_marked.emplace_back(h, std::move(item));
        }
    }

    // Reads every item of a cursor's walk into the results.
    DBStatus AddAll(CStoreCursor* pCursor) {
        CDbContext* pdb = m_pIter->hBoard->pdb;
        for (;;) {
            std::vector<DB_ITEM> items;
            items.reserve(SEARCH_BATCH);
            const DBStatus st = pCursor->Fetch(pdb, TYPEMASK_ITEMS, 0, SEARCH_BATCH, &items);
            if (st != DBSuccess && st != DBEndOfList) {
                return st;
            }
            for (DB_ITEM& item : items) {
                Add(std::move(item));
            }
            if (st == DBEndOfList) {
                return DBSuccess;
            }
        }
    }

    // The filter routine decides the marked results, from the last back to the first; the
    // dropped ones leave the list in one pass and the slots are numbered again.
    void Filter(EX_SEARCHFILTER pfnFilter) {
        if (pfnFilter == nullptr || m_marked.empty()) {
            return;
        }
        std::unordered_set<ITEM_OBJECT*> dropped;
        for (auto it = m_marked.rbegin(); it != m_marked.rend(); ++it) {
            ITEM_OBJECT* h = it->first;
            // A routine's own calls may have taken a result out already.
            if (!IsLiveItem(h) || h->pNotifier == nullptr || h->pNotifier->m_pIterator != m_pIter) {
                continue;
            }
            if (pfnFilter(&it->second, h, m_pIter->ulValue) == 0) {
                dropped.insert(h);
            }
        }
        m_marked.clear();
        if (dropped.empty()) {
            return;
        }
        std::vector<ITEM_OBJECT*>& slots = m_pIter->slots;
        size_t nKept = 0;
        for (ITEM_OBJECT* h : slots) {
            if (dropped.count(h) != 0) {
                FreeHandle(h);
                continue;
            }
            h->pNotifier->m_nIndex = static_cast<int32_t>(nKept);
            slots[nKept++] = h;
        }
        slots.resize(nKept);
    }

  private:
    ITEM_ITERATOR* m_pIter;
    std::vector<std::pair<ITEM_OBJECT*, DB_ITEM>> m_marked;
};

}  // namespace

// The folders below a folder, depth first, each level in name order (the folder first).
static DBStatus FoldersBelow(BOARD_OBJECT* hbrd, const DB_ITEM& start, std::vector<DB_ITEM>* pOut) {
    std::unordered_set<uint32_t> seen{start.item.itemid};
    struct Level {
        std::vector<DB_ITEM> folders;
        size_t next = 0;
    };
    std::vector<Level> stack;
    pOut->push_back(start);
    auto open = [&](const DB_ITEM& folder) -> DBStatus {
        Level level;
        CStoreCursor cursor;
        uint32_t cMembers = 0;
        DBStatus st = PrepareFolderCursor(hbrd, folder, IteratorKind::SubFolders, EX_SORT_NAME,
                                          &cursor, &cMembers);
        if (st == DBSuccess) {
            st = cursor.Fetch(hbrd->pdb, TYPEMASK_FOLDERS, 0, SIZE_MAX, &level.folders);
        }
        if (st != DBSuccess && st != DBEndOfList) {
            return st;
        }
        stack.push_back(std::move(level));
        return DBSuccess;
    };
    DBStatus st = open(start);
    while (st == DBSuccess && !stack.empty()) {
        Level& top = stack.back();
        if (top.next == top.folders.size()) {
            stack.pop_back();
            continue;
        }
        DB_ITEM& folder = top.folders[top.next++];
        if (!seen.insert(folder.item.itemid).second || stack.size() > MAX_TREE_DEPTH) {
            continue;
        }
        pOut->push_back(folder);
        st = open(pOut->back());
    }
    return st;
}

// A cursor over a folder's items in the sort code's order, keeping those that match.
static DBStatus MatchingCursor(BOARD_OBJECT* hbrd, const DB_ITEM& folder, uint16_t wSortCode,
                               const std::shared_ptr<const CSearchCriteria>& pCriteria,
                               CStoreCursor* pCursor) {
    uint32_t cMembers = 0;
    DBStatus st =
        PrepareFolderCursor(hbrd, folder, IteratorKind::FolderItems, wSortCode, pCursor, &cMembers);
    pCursor->SetCriteria(pCriteria);
    return st;
}

static ITEM_ITERATOR* FindItems(BOARD_OBJECT* hbrd, const EX_SEARCH* pSearch, uint16_t wSortCode,
                                EX_SEARCHFILTER pfnFilter, EX_ITEMNOTIFIER pfnRoutine,
                                uintptr_t ulValue, EXSM_STATUS* status) {
    if (!IsLiveBoard(hbrd) || hbrd->pNotify == nullptr) {
        *status = EXSM_INVALID_HANDLE;
        return nullptr;
    }
    wSortCode = KnownSortCode(wSortCode);
    if (pfnRoutine == EX_DEFAULT_NOTIFIER) {
        pfnRoutine = DefaultRoutine(hbrd);
    }
    if (ulValue == EX_DEFAULT_VALUE) {
        ulValue = DefaultValue(hbrd);
    }
    auto pCriteria = std::make_shared<CSearchCriteria>(PrepareCriteria(pSearch));
    pCriteria->pfnFilter = pfnFilter;
    const CSearchCriteria& criteria = *pCriteria;

    DBStatus dbs = DBSuccess;
    CItemEntry* pStart = FindOrLoadEntry(hbrd, criteria.dwStartFolderID, &dbs);
    if (pStart != nullptr) {
        dbs = RefreshEntry(hbrd, pStart);
        dbs = dbs == DBRecordModified ? DBSuccess : dbs;
    }
    if (dbs == DBNotFound || dbs == DBDeleted) {
        *status = EXSM_DOES_NOT_EXIST;
        return nullptr;
    }
    if (dbs != DBSuccess) {
        SetStatus(status, dbs);
        return nullptr;
    }
    if (pStart->m_item.item.type != ITEMTYPE_FOLDER) {
        *status = EXSM_FOLDER_REQUIRED;
        return nullptr;
    }
    const DB_ITEM startFolder = pStart->m_item;

    NotifierTable* pTable = hbrd->pNotify;
    OwnedIterator pIter(new ITEM_ITERATOR);
    pIter->hBoard = hbrd;
    pIter->kind = IteratorKind::SearchResults;
    pIter->wSortCode = wSortCode;
    pIter->dwFolderID = criteria.dwStartFolderID;
    pIter->pfnRoutine = pfnRoutine;
    pIter->ulValue = ulValue;
    pIter->cursor.SetCriteria(pCriteria);
    qn::platform::RegisterLiveObject(pIter.get(), ObjectKind::ItemIterator);
    pTable->m_lists.insert(pIter.get());
    RegisterIteratorEntry(pStart, &pIter->iterEntry, pIter.get());
    pIter->pFolderEntry = pStart;
    pIter->pOwnNotifier = RegisterNotifier(pStart, pfnRoutine, ulValue, nullptr, pIter.get(), -1);

    CResultGatherer results(pIter.get());
    bool fSort = (wSortCode & ~EX_SORT_DESCENDING) == EX_SORT_REPOSITORY;
    if (criteria.fRecursive && criteria.dwStartFolderID == 1) {
        // Every item of the catalog, the root among them, in one pass over the records.
        CStoreCursor cursor;
        cursor.RecordWalk();
        cursor.SetCriteria(pCriteria);
        dbs = results.AddAll(&cursor);
        fSort = true;
    } else {
        // The start folder leads the results when it matches itself.
        const MatchResult match = MatchItem(criteria, startFolder);
        if (match != MatchResult::Reject) {
            DB_ITEM folder = startFolder;
            folder.dwFieldFlags = match == MatchResult::Marked ? EX_MATCH_FILTER : 0;
            const size_t cBefore = pIter->slots.size();
            results.Add(std::move(folder));
            fSort = fSort || pIter->slots.size() != cBefore;
        }
        std::vector<DB_ITEM> folders;
        if (criteria.fRecursive) {
            dbs = FoldersBelow(hbrd, startFolder, &folders);
            fSort = true;
        } else {
            folders.push_back(startFolder);
        }
        for (size_t i = 0; dbs == DBSuccess && i < folders.size(); ++i) {
            CStoreCursor cursor;
            dbs = MatchingCursor(hbrd, folders[i], wSortCode, pCriteria, &cursor);
            if (dbs == DBSuccess) {
                dbs = results.AddAll(&cursor);
            }
            // A folder taken out since it was listed has nothing to add.
            dbs = dbs == DBDeleted ? DBSuccess : dbs;
        }
    }
    if (dbs != DBSuccess) {
        SetStatus(status, dbs);
        return nullptr;
    }
    results.Filter(pfnFilter);
    if (!IsLiveIterator(pIter.get())) {
        pIter.release();  // a filter routine's calls ended the catalog
        *status = EXSM_INVALID_HANDLE;
        return nullptr;
    }
    pIter->fComplete = true;
    pIter->nCount = pIter->Last() + 1;
    if (fSort) {
        SortIterator(pIter.get(), wSortCode);
    }
    pIter->nCurrent = -1;
    CheckMemoryUsage(hbrd);
    return pIter.release();
}

// ---- Live results ---------------------------------------------------------------------------

// The parent of an item by id: from its cached entry, else from its stored record.
static bool ParentOf(BOARD_OBJECT* hbrd, uint32_t dwItemID, uint32_t* pdwParent) {
    if (const CItemEntry* p = FindEntry(hbrd, dwItemID)) {
        *pdwParent = p->m_item.item.itemparentid;
        return true;
    }
    CDbContext* pdb = hbrd->pdb;
    CStoreRead read(pdb, Packet({DB_ITEMREC}, 'r'));
    if (read.Status() != DBSuccess || pdb->KeyFind(ITEMID, &dwItemID) != S_OKAY) {
        return false;
    }
    qn::dbms::db_itemrec rec{};
    if (pdb->Read(&rec) != S_OKAY) {
        return false;
    }
    *pdwParent = rec.itemparentid;
    return true;
}

static bool InScope(BOARD_OBJECT* hbrd, const CSearchCriteria& c, const DB_ITEM& item) {
    uint32_t dwParent = item.item.itemparentid;
    if (!c.fRecursive) {
        return dwParent == c.dwStartFolderID;
    }
    if (c.dwStartFolderID == 1) {
        return true;
    }
    for (int nDepth = 0; dwParent != 0 && nDepth <= MAX_TREE_DEPTH; ++nDepth) {
        if (dwParent == c.dwStartFolderID) {
            return true;
        }
        if (!ParentOf(hbrd, dwParent, &dwParent)) {
            return false;
        }
    }
    return false;
}

static bool HoldsItem(const ITEM_ITERATOR* pIter, const CItemEntry* pEntry) {
    for (const CItemNotifier* p = pEntry->FirstNotifier(); p != nullptr; p = p->m_pNext) {
        if (p->m_pIterator == pIter && p->m_hItem != nullptr) {
            return true;
        }
    }
    return false;
}

bool AnySearchOpen(const BOARD_OBJECT* hbrd) {
    return std::any_of(
        hbrd->pNotify->m_lists.begin(), hbrd->pNotify->m_lists.end(),
        [](const ITEM_ITERATOR* p) { return p->kind == IteratorKind::SearchResults; });
}

void DeliverCreatedToSearches(BOARD_OBJECT* hbrd, CItemEntry* pEntry, uint32_t dwFlags) {
    std::vector<ITEM_ITERATOR*> searches;
    for (ITEM_ITERATOR* p : hbrd->pNotify->m_lists) {
        if (p->kind == IteratorKind::SearchResults) {
            searches.push_back(p);
        }
    }
    for (ITEM_ITERATOR* pIter : searches) {
        // Routines called for an earlier list may have released this one or taken the item out.
        if (pEntry->m_fDestroyed || pIter->fReleased || pIter->cursor.Criteria() == nullptr) {
            continue;
        }
        const CSearchCriteria& c = *pIter->cursor.Criteria();
        const DB_ITEM& item = pEntry->m_item;
        const MatchResult match = MatchItem(c, item);
        if (match == MatchResult::Reject || !ListShows(pIter, item) || HoldsItem(pIter, pEntry) ||
            !InScope(hbrd, c, item)) {
            continue;
        }
        ITEM_OBJECT* hItem = InsertHandle(pIter, InsertionIndex(pIter, item), item, 0);
        if (hItem == nullptr) {
            ShowLowMemoryBox(
                "Out of memory error detected while fetching item for current iterator\r\n\r\n"
                "Please exit the application and login again");
            return;
        }
        if (match == MatchResult::Marked && c.pfnFilter != nullptr) {
            DB_ITEM marked = item;
            marked.dwFieldFlags = EX_MATCH_FILTER;
            const bool fKeep = c.pfnFilter(&marked, hItem, pIter->ulValue) != 0;
            if (pIter->fReleased || hItem->pNotifier == nullptr) {
                continue;
            }
            if (!fKeep) {
                RemoveSlot(pIter, hItem->pNotifier, false);
                FreeHandle(hItem);
                continue;
            }
        }
        NotifyItem(hItem->pNotifier, EX_CHANGE_CREATED, dwFlags);
    }
}

}  // namespace catstore

using namespace catstore;

extern "C" ITEM_ITERATOR* EXBoardFindItems(BOARD_OBJECT* hbrd, const EX_SEARCH* pSearch,
                                           uint16_t wSortCode, EX_SEARCHFILTER pfnFilter,
                                           EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                           EXSM_STATUS* status) {
    return RunApi(
        "EXBoardFindItems", status, static_cast<ITEM_ITERATOR*>(nullptr), [&](EXSM_STATUS* st) {
            return FindItems(hbrd, pSearch, wSortCode, pfnFilter, pfnNotifier, ulValue, st);
        });
}
