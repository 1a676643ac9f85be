// The built-in folders of a user.
#include "userfolders.h"

#include "items.h"

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

DBStatus MakeUserFolders(BOARD_OBJECT* hbrd, UserHolder* pUser) {
    DBStatus st = DBSuccess;
    for (const BuiltinFolder& f : s_aUserFolders) {
        st = MakeUserFolder(hbrd, pUser, f.nSlot);
        if (st != DBSuccess) {
            break;
        }
    }
    DBStatus stWrite = UserWrite(hbrd->pdb, pUser);
    return st != DBSuccess ? st : stWrite;
}

}  // namespace catstore
