// The engine-open steps shared by create, open and connect.
#pragma once

#include <string>

#include "board.h"

namespace catstore {

// Opens the catalog at hbrd->strPath in the engine with mode pszMode ("o", "x" or "s"): makes
// hbrd->pdb, picks the lock-manager transport of hbrd->nLockMgr (falling back to 1, which it
// then stores), and takes a free lock-manager user id made from strUserID. On failure hbrd->pdb
// may already be set; freeing the board frees it.
DBStatus EngineOpen(BOARD_OBJECT* hbrd, const std::string& strUserID, const char* pszMode);

// The engine's open mode for an EX_OPEN_... value: 0 one-user "o", 2 exclusive "x", any other
// shared "s".
const char* ModeString(int nOpenMode);

}  // namespace catstore
