// The built-in folders of a user.
#include "userfolders.h"

#include <functional>

#include "items.h"
#include "locks.h"
#include "notify.h"

namespace catstore {

// The built-in folders of a new user, in the order they are made.
struct BuiltinFolder {
    int nSlot;
    const char* pszName;
    uint16_t wFolderType;
};
static const BuiltinFolder s_aUserFolders[] = {
    {4, "Monitored Items", 7}, {6, "Bookmark Menu", 8}, {2, "Briefcase", 6},
    {0, "Quick List", 4},      {1, "Web Monitor", 5},   {3, "Zelto Folders", 3},
    {8, "Zelto Agents", 10},   {7, "Web Realms", 12},
};

// Everything a user create with its folders writes: the user record and its set, the items with
// their change entries, the unique ids and the variable strings.
static std::vector<LockEntry> UserFoldersPacket() {
    return ItemWritePacket() + Packet({DBS_USERS}, 'w');
}

DBStatus MakeUserFolder(BOARD_OBJECT* hbrd, UserHolder* pUser, int nSlot) {
    for (const BuiltinFolder& f : s_aUserFolders) {
        if (f.nSlot != nSlot) {
            continue;
        }
        DB_ITEM item;
        InitFolderItem(&item, f.pszName, "", f.wFolderType, pUser->rec.userid);
        DBStatus st = ItemCreate(hbrd->pdb, &item, ChangeEntryNotifier, hbrd);
        if (st != DBSuccess) {
            return st;
        }
        pUser->rec.useritems[nSlot] = item.dba;
        if (nSlot == 0) {
            pUser->rec.useritems[6] = item.dba;
        }
        return DBSuccess;
    }
    return DBItemNotFound;
}

// Makes the folders of the slots that fNeeded picks, in the order of s_aUserFolders, and writes
// the user record, all in one transaction: a process killed half-way leaves no folder that the
// user record does not name. On failure the holder is as it was and nothing is written.
// fMade(slot) runs after each folder is made, inside the transaction; a failure it returns
// ends the whole.
template <typename F, typename G>
static DBStatus MakeFoldersInOne(BOARD_OBJECT* hbrd, UserHolder* pUser, const char* pszTag,
                                 F&& fNeeded, G&& fMade) {
    UserHolder saved = *pUser;
    CStoreTransaction tx(hbrd->pdb, pszTag, UserFoldersPacket());
    DBStatus st = tx.Status();
    bool fChanged = false;
    for (const BuiltinFolder& f : s_aUserFolders) {
        if (st == DBSuccess && fNeeded(f.nSlot)) {
            st = MakeUserFolder(hbrd, pUser, f.nSlot);
            fChanged = true;
            if (st == DBSuccess) {
                st = fMade(f.nSlot);
            }
        }
    }
    if (st == DBSuccess && fChanged) {
        st = UserWrite(hbrd->pdb, pUser);
    }
    st = tx.Finish(st);
    if (st != DBSuccess) {
        *pUser = saved;
        EXNotifyDiscardDeferred(hbrd);
    }
    return st;
}

DBStatus UserCreateWithFolders(BOARD_OBJECT* hbrd, UserHolder* pUser) {
    UserHolder saved = *pUser;
    CStoreTransaction tx(hbrd->pdb, "UserCreate", UserFoldersPacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = UserCreate(hbrd->pdb, pUser);
    }
    if (st == DBSuccess) {
        st = MakeFoldersInOne(
            hbrd, pUser, "UserCreate", [](int) { return true; }, [](int) { return DBSuccess; });
    }
    st = tx.Finish(st);
    if (st != DBSuccess) {
        *pUser = saved;
        EXNotifyDiscardDeferred(hbrd);
    }
    return st;
}

DBStatus MakeMissingUserFolders(BOARD_OBJECT* hbrd, UserHolder* pUser, bool fSystem) {
    // A packed record: its slots are read by value.
    auto slot = [pUser](int nSlot) -> DBA { return pUser->rec.useritems[nSlot]; };
    // A user made by an earlier version could be left with a record but none of its first six
    // folders (each was made in a transaction of its own, and the record written last); such a
    // user gets them all. Otherwise only the two slots added after the others are filled.
    bool fNone = !fSystem;
    for (int nSlot : {0, 1, 2, 3, 4, 6}) {
        fNone = fNone && slot(nSlot) == 0;
    }
    auto fNeeded = [&](int nSlot) {
        return slot(nSlot) == 0 && (fNone || nSlot == 7 || nSlot == 8);
    };
    bool fAny = false;
    for (const BuiltinFolder& f : s_aUserFolders) {
        fAny = fAny || fNeeded(f.nSlot);
    }
    if (!fAny) {
        return DBSuccess;
    }
    return MakeFoldersInOne(hbrd, pUser, "UserSetItem", fNeeded, [](int) { return DBSuccess; });
}

DBStatus MakeEmptyUserFolders(BOARD_OBJECT* hbrd, UserHolder* pUser,
                              const std::function<DBStatus(int nSlot)>& fnMade) {
    return MakeFoldersInOne(
        hbrd, pUser, "UserSetItem", [pUser](int nSlot) { return pUser->rec.useritems[nSlot] == 0; },
        fnMade);
}

}  // namespace catstore
