// The first open of an upgraded catalog: the built-in catalog folders it lacks, every user's
// missing built-in folders, and each user's old hot list turned into references of the user's
// new Quick List.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "board.h"

namespace catstore {

// The most hot-list entries read: "NumItems" above it is treated as a buffer that cannot be had.
inline constexpr int HOTLIST_MAX_ITEMS = 32768;
// The bytes the text of one entry may take.
inline constexpr size_t HOTLIST_ENTRY_BYTES = 30;

// Runs inside the upgrade's transaction: fills the empty slots 0 to 2 of *pBoard (written by
// the caller) and the users' empty built-in slots. A hot list that cannot be converted is
// reported and passed over; any other failure ends it with its status.
DBStatus InitializeFirstOpen(BOARD_OBJECT* hbrd, qn::dbms::db_boardrec* pBoard);

// The item ids of a hot-list text: pairs "id;number" separated by "/", an id ending at ";",
// blank or tab and a number at "/", blank or tab. Only complete pairs count: fCut says the text
// was cut at its bound, so that a last pair without its end may be a fragment. An id that is
// not a decimal number of 32 bits is passed over; an id already listed is not listed again.
std::vector<uint32_t> ParseHotList(std::string_view text, bool fCut);

}  // namespace catstore
