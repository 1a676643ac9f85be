// The catalog search (EXBoardFindItems): its criteria as the walks use them, the matching of one
// item, and the result lists' share of the change notification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cache.h"
#include "catstore.h"
#include "items.h"

namespace catstore {

// The criteria of one search, prepared once: texts without trailing blanks, the search text in
// lower case unless the case option is set.
struct CSearchCriteria {
    uint16_t wMatchFlags = 0;
    uint32_t dwStartFolderID = 1;
    bool fRecursive = false;
    bool fCase = false;
    uint16_t wResponsible = 0;
    uint16_t wModifiedTest = 0, wDueDateTest = 0;
    uint32_t dwModifiedLow = 0, dwModifiedHigh = 0;
    uint32_t dwDueDateLow = 0, dwDueDateHigh = 0;
    uint16_t wStatusMask = 0;
    char achName[33] = {};
    char achText[129] = {};
    size_t cchText = 0;
    EX_SEARCHFILTER pfnFilter = nullptr;
};

// The criteria of an EX_SEARCH (null: all zero). Never reads past the record's arrays: a text
// that fills its array without a zero byte is taken as the whole array.
CSearchCriteria PrepareCriteria(const EX_SEARCH* pSearch);

enum class MatchResult : uint8_t {
    Reject,
    Accept,
    Marked,    // left to the application's filter routine
    NeedNote,  // only the note can still decide
};

// The tests the item record alone decides.
MatchResult MatchRecord(const CSearchCriteria& criteria, const qn::dbms::db_itemrec& rec);
// The note's test, for an item whose record left it open.
MatchResult MatchNote(const CSearchCriteria& criteria, const std::string& strNote);
// Every test on an item read with its texts.
MatchResult MatchItem(const CSearchCriteria& criteria, const DB_ITEM& item);

// A new visible item enters the open result lists whose criteria it matches and whose start
// folder it is in (or below, for a recursive search).
void DeliverCreatedToSearches(BOARD_OBJECT* hbrd, CItemEntry* pEntry, uint32_t dwFlags);
// Whether the application holds a result list (a new item nobody shows may then be wanted).
bool AnySearchOpen(const BOARD_OBJECT* hbrd);

}  // namespace catstore
