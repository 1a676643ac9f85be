// The first open of an upgraded catalog: built-in folders and the hot-list conversion.
#include "firstopen.h"

#include <cstring>
#include <ctime>
#include <string>
#include <unordered_set>

#include "config.h"
#include "engine.h"
#include "items.h"
#include "notify.h"
#include "platform/profile.h"
#include "refs.h"
#include "trace.h"
#include "userfolders.h"
#include "users.h"

namespace catstore {

namespace profile = qn::platform::profile;

static const char* const HOTLIST_SECTION = "HotList";
static const char* const HOTLIST_ASSERTION = "!IS_EXERROR(pStatus)";
static const char* const HOTLIST_MODULE = ".\\EXSM";

static bool EndsId(char ch) {
    return ch == ';' || ch == ' ' || ch == '\t';
}
static bool EndsNumber(char ch) {
    return ch == '/' || ch == ' ' || ch == '\t';
}

// A decimal id of 32 bits, or false.
static bool ParseId(std::string_view text, uint32_t* pdwId) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (v > UINT32_MAX) {
        return false;
    }
    *pdwId = static_cast<uint32_t>(v);
    return true;
}

std::vector<uint32_t> ParseHotList(std::string_view text, bool fCut) {
    std::vector<uint32_t> ids;
    std::unordered_set<uint32_t> seen;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        while (i < n && EndsNumber(text[i])) {
            ++i;
        }
        const size_t iId = i;
        while (i < n && !EndsId(text[i])) {
            ++i;
        }
        if (i >= n || i == iId) {
            // An id without its end is a fragment; an empty one names nothing.
            if (i >= n) {
                break;
            }
            ++i;
            continue;
        }
        std::string_view id = text.substr(iId, i - iId);
        ++i;
        while (i < n && !EndsNumber(text[i])) {
            ++i;
        }
        if (i >= n && fCut) {
            break;
        }
        uint32_t dwId = 0;
        if (ParseId(id, &dwId) && seen.insert(dwId).second) {
            ids.push_back(dwId);
        }
    }
    return ids;
}

// The user's id string as the catalog's map holds it; a user missing from the map has the one
// its name and id make, so that no other user's file is read for it.
static std::string UserIDStringOf(BOARD_OBJECT* hbrd, const qn::dbms::db_userrec& rec) {
    const std::string strName(rec.username, strnlen(rec.username, sizeof rec.username));
    char achId[9] = {};
    profile::ReadString(INI_USERMAP_SECTION, strName.c_str(), "", achId, sizeof achId,
                        hbrd->strCatalogIni.c_str());
    return achId[0] != '\0' ? std::string(achId) : MakeUserIDString(strName, rec.userid);
}

// The "Items" text of a hot list of nItems entries, read into a buffer of nItems x 30 bytes as
// the profile call would: *pfCut is set when the stored text was longer than the buffer.
static std::string ReadHotListText(const std::string& strIni, int nItems, bool* pfCut) {
    const size_t cb = static_cast<size_t>(nItems) * HOTLIST_ENTRY_BYTES;
    std::string strText(cb + 1, '\0');
    size_t cch = profile::ReadString(HOTLIST_SECTION, "Items", "", strText.data(), strText.size(),
                                     strIni.c_str());
    *pfCut = cch > cb - 1;
    strText.resize(*pfCut ? cb - 1 : cch);
    return strText;
}

// Turns the user's old hot list into references of the Quick List at dbaQuickList. Nothing
// here fails the open: what cannot be converted is reported and passed over.
static void ConvertHotList(BOARD_OBJECT* hbrd, const qn::dbms::db_userrec& rec, DBA dbaQuickList) {
    CDbContext* pdb = hbrd->pdb;
    const std::string strIni = UserIniPath(hbrd->strPath, UserIDStringOf(hbrd, rec));
    int nItems = profile::ReadInt(HOTLIST_SECTION, "NumItems", 0, strIni.c_str());
    if (nItems < 0) {
        nItems = 0;
    }
    if (nItems > HOTLIST_MAX_ITEMS) {
        ReportAssertion(HOTLIST_ASSERTION, HOTLIST_MODULE);
    } else if (nItems > 0) {
        bool fCut = false;
        std::string strText = ReadHotListText(strIni, nItems, &fCut);
        for (uint32_t dwId : ParseHotList(strText, fCut)) {
            DB_ITEM item;
            DBStatus st = ItemFindByID(pdb, dwId, &item);
            if (st != DBSuccess) {
                LogLine(LOG_STORE, "Error #%d detected on hot list item IID=%lu\r\n",
                        static_cast<int>(QNMapDBStatusValue(st)), static_cast<unsigned long>(dwId));
                ReportAssertion(HOTLIST_ASSERTION, HOTLIST_MODULE);
                continue;
            }
            // Read again for each reference: the list's stamp is what the reference checks.
            DB_ITEM quickList;
            st = ItemReadAt(pdb, dbaQuickList, &quickList);
            if (st == DBSuccess) {
                st = ReferenceAdd(hbrd, quickList, item);
            }
            if (st != DBSuccess) {
                ReportAssertion(HOTLIST_ASSERTION, HOTLIST_MODULE);
            }
        }
    }
    LogLine(LOG_STORE, "%u items converted from \"%s\"\r\n", static_cast<unsigned>(nItems),
            strIni.c_str());
}

// Slots 0 to 2 of the catalog.
static DBStatus MakeCatalogFolders(BOARD_OBJECT* hbrd, qn::dbms::db_boardrec* pBoard) {
    CDbContext* pdb = hbrd->pdb;
    DB_ITEM root;
    DBStatus st = ItemFindByID(pdb, 1, &root);
    if (st != DBSuccess) {
        return st;
    }
    if (pBoard->boarditems[0] == 0) {
        st = ItemWrite(pdb, &root, ChangeEntryNotifier, hbrd);
        if (st != DBSuccess) {
            return st;
        }
        pBoard->boarditems[0] = root.dba;
    }
    const uint32_t dwNow = static_cast<uint32_t>(std::time(nullptr));
    struct {
        int nSlot;
        const char* pszName;
        const char* pszDescription;
        uint16_t wFolderType;
    } const aFolders[] = {
        {1, "Zelto Folders Root", "", 3},
        {2, "Zelto Files Catalog", "Root of all Zelto Files", 2},
    };
    for (const auto& f : aFolders) {
        if (pBoard->boarditems[f.nSlot] != 0) {
            continue;
        }
        DB_ITEM folder;
        InitFolderItem(&folder, f.pszName, f.pszDescription, f.wFolderType, 0);
        folder.item.itemparentid = root.item.itemid;
        folder.item.tmlastmodified = dwNow;
        st = ItemCreate(pdb, &folder, ChangeEntryNotifier, hbrd);
        if (st != DBSuccess) {
            return st;
        }
        pBoard->boarditems[f.nSlot] = folder.dba;
    }
    return DBSuccess;
}

DBStatus InitializeFirstOpen(BOARD_OBJECT* hbrd, qn::dbms::db_boardrec* pBoard) {
    DBStatus st = MakeCatalogFolders(hbrd, pBoard);
    if (st != DBSuccess) {
        return st;
    }
    USER_ITERATOR* pUsers = nullptr;
    st = FillAllUsers(hbrd, &pUsers);
    for (size_t i = 0; st == DBSuccess && i < pUsers->entries.size(); ++i) {
        UserHolder* pUser = &pUsers->entries[i]->holder;
        st = MakeEmptyUserFolders(hbrd, pUser, [&](int nSlot) {
            if (nSlot == 0) {
                ConvertHotList(hbrd, pUser->rec, pUser->rec.useritems[0]);
            }
            return DBSuccess;
        });
    }
    FreeUserIterator(pUsers);
    return st;
}

}  // namespace catstore
