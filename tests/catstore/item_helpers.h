// Helpers of the item tests: making items through the public calls, reading lists, and the
// moves and destroys of another process written into the store and the change log the way the
// tree operations write them.
#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "catalog_fixture.h"
#include "foundation/prefs.h"
#include "items.h"
#include "locks.h"

namespace cstest {

// Writes the system log to a file with every trace category (and, when asked, assertion boxes
// shown through the box handler). Call before the first library call of the test.
inline void LogTo(const std::string& strPath, bool fAssertions = false) {
    QNPrefSetString("SystemLog", "LogFilename", strPath.c_str(), QNINI_INIFILENAME);
    QNPrefSetString("SystemLog", "TracingFilter", "0xFFFFFFFF", QNINI_INIFILENAME);
    if (fAssertions) {
        QNPrefSetString("SystemLog", "AssertionChecking", "1", QNINI_INIFILENAME);
    }
}

inline size_t CountOf(const std::string& strText, const std::string& strNeedle) {
    size_t n = 0;
    for (size_t pos = strText.find(strNeedle); pos != std::string::npos;
         pos = strText.find(strNeedle, pos + 1)) {
        ++n;
    }
    return n;
}

// A new item (TYPE 1) or folder (TYPE 4) under hParent through EXItemNew and EXItemCreate; the
// handle, or nullptr with the status in *pst.
inline ITEM_OBJECT* NewItem(BOARD_OBJECT* hbrd, ITEM_OBJECT* hParent, const char* pszName,
                            uint16_t wType = 1, EXSM_STATUS* pst = nullptr,
                            uint16_t wAccessLevel = 1, uint16_t wAccessID = 0) {
    EXSM_STATUS st;
    EX_ITEMINFO info{};
    info.type = wType;
    std::snprintf(info.itemname, sizeof info.itemname, "%s", pszName);
    info.itemaccesslevel = wAccessLevel;
    info.itemaccessgrouporuserid = wAccessID;
    ITEM_OBJECT* h = EXItemNew(&st, &info);
    if (h != nullptr && wType == 4) {
        EXItemObjectSetFolder(h);
    }
    EXItemCreate(hbrd, hParent, h, &st);
    if (pst != nullptr) {
        *pst = st;
    }
    if (st != EXSM_SUCCESS) {
        EXItemRelease(h, &st);
        return nullptr;
    }
    return h;
}

// Runs fn in another process logged in to the catalog at strPath; true when the process could
// log in and fn reported success.
inline bool InOtherProcess(const std::string& strPath, const char* pszUser, const char* pszPassword,
                           const std::function<bool(BOARD_OBJECT*)>& fn) {
    pid_t pid = qn::test::ForkChild([&]() {
        EXSM_STATUS s;
        BOARD_OBJECT* h =
            EXBoardOpen(strPath.c_str(), pszUser, pszPassword, 1, 0, 0, 0, nullptr, &s);
        if (h == nullptr) {
            return 10 + static_cast<int>(s);
        }
        bool fOk = fn(h);
        EXBoardClose(h, &s);
        return fOk ? 0 : 1;
    });
    return qn::test::WaitChild(pid) == 0;
}

// A new handle on an item by id (nullptr when there is none).
inline ITEM_OBJECT* FindItem(BOARD_OBJECT* hbrd, uint32_t dwID) {
    EXSM_STATUS st;
    return EXItemFindByID(hbrd, dwID, nullptr, 0, &st);
}

inline uint32_t IdOf(ITEM_OBJECT* h) {
    return EXItemGetID(h);
}

inline std::string NameOf(ITEM_OBJECT* h) {
    char ach[64] = "";
    EXItemGetName(h, ach, sizeof ach);
    return ach;
}

// The names of a list's fetched handles, in slot order (moves the current index to the end).
inline std::vector<std::string> Names(ITEM_ITERATOR* pIter) {
    std::vector<std::string> v;
    EXItemIteratorReset(pIter);
    for (ITEM_OBJECT* h = EXItemIteratorNext(pIter); h != nullptr; h = EXItemIteratorNext(pIter)) {
        v.push_back(NameOf(h));
    }
    return v;
}

// Renames an item through a handle of its own and writes it.
inline EXSM_STATUS Rename(ITEM_OBJECT* h, const char* pszName) {
    EXSM_STATUS st;
    EXItemObjectSetItemName(h, pszName);
    EXItemSetInfo(h, 0, &st);
    return st;
}

// The stored item by id (all parts).
inline DB_ITEM StoredItem(BOARD_OBJECT* hbrd, uint32_t dwID) {
    DB_ITEM item;
    EXPECT_EQ(catstore::ItemFindByID(hbrd->pdb, dwID, &item), DBSuccess);
    return item;
}

// Takes an item out of the store the way the tree destroy does for one item: its record and
// memberships go and a Destroyed entry is written, queued for this process too.
inline DBStatus DestroyStoredItem(BOARD_OBJECT* hbrd, uint32_t dwID) {
    using namespace catstore;
    DB_ITEM item = StoredItem(hbrd, dwID);
    CStoreTransaction tx(hbrd->pdb, "ItemDestroy", ItemWritePacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = MapEngineStatus(hbrd->pdb->DeleteAt(item.dba));
    }
    if (st == DBSuccess) {
        st = WriteChangeEntry(hbrd->pdb, &item, nullptr, ChangeEntryNotifier, EX_CHANGE_DESTROYED,
                              hbrd);
    }
    return tx.Finish(st);
}

// Moves an item to another folder the way the tree move does: the folder sets change, then a
// Modified entry with the parent bit and a Created entry, both naming the new parent.
inline DBStatus MoveStoredItem(BOARD_OBJECT* hbrd, uint32_t dwID, uint32_t dwNewParent) {
    using namespace catstore;
    CDbContext* pdb = hbrd->pdb;
    DB_ITEM item = StoredItem(hbrd, dwID);
    DB_ITEM parent = StoredItem(hbrd, dwNewParent);
    CStoreTransaction tx(pdb, "ItemSetParent", ItemWritePacket());
    DBStatus st = tx.Status();
    std::vector<int32_t> sets = {DBS_ITEMS_IN_FOLDER};
    if (item.item.type == ITEMTYPE_FOLDER) {
        sets.push_back(DBS_FOLDERS_IN_FOLDER);
    }
    for (int32_t nSet : sets) {
        int rc = pdb->MakeCurrent(item.dba);
        if (rc == S_OKAY) {
            rc = pdb->SetMemberCurrent(nSet);
        }
        if (rc == S_OKAY) {
            rc = pdb->Disconnect(nSet);
            rc = rc == S_EOS ? S_OKAY : rc;
        }
        if (rc == S_OKAY) {
            rc = pdb->MakeCurrent(parent.dba);
        }
        if (rc == S_OKAY) {
            rc = pdb->SetOwnerCurrent(nSet);
        }
        if (rc == S_OKAY) {
            rc = pdb->MakeCurrent(item.dba);
        }
        if (rc == S_OKAY) {
            rc = pdb->Connect(nSet);
        }
        if (st == DBSuccess) {
            st = MapEngineStatus(rc);
        }
    }
    item.item.itemparentid = dwNewParent;
    if (st == DBSuccess) {
        int rc = pdb->MakeCurrent(item.dba);
        if (rc == S_OKAY) {
            rc = pdb->Write(&item.item);
        }
        st = MapEngineStatus(rc);
    }
    item.item.uidlastmodified = CurrentUserID(hbrd);
    if (st == DBSuccess) {
        item.dwFieldFlags = ITEMFIELDS_PARENT;
        st = WriteChangeEntry(pdb, &item, nullptr, ChangeEntryNotifier, EX_CHANGE_MODIFIED, hbrd);
    }
    if (st == DBSuccess) {
        st = WriteChangeEntry(pdb, &item, nullptr, ChangeEntryNotifier, EX_CHANGE_CREATED, hbrd);
    }
    return tx.Finish(st);
}

}  // namespace cstest
