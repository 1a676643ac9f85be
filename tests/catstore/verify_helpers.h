// Helpers of the verification tests: a catalog with users, a group, folders, items with notes, a
// reference and an attachment; the verification run the way the maintenance program runs it;
// and direct access to the catalog file through the sqlite3 library, to damage it.
#pragma once

#include <sqlite3.h>

#include <cstring>
#include <string>

#include "item_helpers.h"

namespace cstest {

// The catalog file opened directly (the catalog itself closed).
class CCatalogFile {
  public:
    explicit CCatalogFile(const std::string& strPath) {
        if (sqlite3_open_v2(strPath.c_str(), &m_pDb, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            sqlite3_close(m_pDb);
            m_pDb = nullptr;
        }
        if (m_pDb != nullptr) {
            sqlite3_busy_timeout(m_pDb, 10000);
        }
    }
    ~CCatalogFile() { sqlite3_close(m_pDb); }
    CCatalogFile(const CCatalogFile&) = delete;
    CCatalogFile& operator=(const CCatalogFile&) = delete;
    bool IsOpen() const { return m_pDb != nullptr; }

    // Runs statements; the number of rows the last one changed, -1 on failure.
    int Exec(const std::string& strSql) {
        if (m_pDb == nullptr ||
            sqlite3_exec(m_pDb, strSql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            return -1;
        }
        return sqlite3_changes(m_pDb);
    }
    // Member counts made again from the memberships, after a damage that moved or removed some.
    int RecountOwners() {
        return Exec(
            "DELETE FROM dbms_owner; INSERT INTO dbms_owner(setcode, owner, members) SELECT "
            "setcode, owner, count(*) FROM dbms_member GROUP BY setcode, owner");
    }
    // The first column of the first row as a number (-1 when there is no row).
    int64_t Int(const std::string& strSql) {
        int64_t n = -1;
        sqlite3_stmt* pStmt = nullptr;
        if (m_pDb != nullptr &&
            sqlite3_prepare_v2(m_pDb, strSql.c_str(), -1, &pStmt, nullptr) == SQLITE_OK &&
            sqlite3_step(pStmt) == SQLITE_ROW) {
            n = sqlite3_column_int64(pStmt, 0);
        }
        sqlite3_finalize(pStmt);
        return n;
    }

  private:
    sqlite3* m_pDb = nullptr;
};

// The address of an item record by name, as the sets store it.
inline std::string ItemDba(const std::string& strName) {
    return "(SELECT (11 << 24) | slot FROM db_itemrec WHERE itemname='" + strName + "')";
}

class VerifyTest : public CatalogTest {
  public:
    static constexpr const char* kLongNote =
        "A note long enough for two chunks: 0123456789012345678901234567890123456789012345678901"
        "23456789012345678901234567890123456789012345678901234567890123456789012345678901234567"
        "89012345678901234567890123456789012345678901234567890123456789012345678901234567890123"
        "4567890123456789 and its end";

    void SetUp() override {
        LogTo(m_dir.file("log.txt"));
        MakeCatalog();
        BuildContent();
    }

    // alice (in staff), folder F with a, b and c (notes) and the folder G, a reference a -> b
    // with data, an item "att" with an attachment and its repository, and an item "att2" whose
    // attachment has no repository.
    void BuildContent() {
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = Open();
        ASSERT_NE(hbrd, nullptr);
        ASSERT_NE(AddUser(hbrd, "alice", "pw"), 0);
        ASSERT_EQ(AddGroupWithMember(hbrd, "staff", "alice"), EXSM_SUCCESS);
        ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
        ITEM_OBJECT* hF = NewItem(hbrd, hRoot, "F", 4);
        ASSERT_NE(hF, nullptr);
        ASSERT_NE(NewItem(hbrd, hF, "G", 4), nullptr);
        ITEM_OBJECT* ah[3] = {};
        const char* apszNotes[] = {"note of a", kLongNote, "note of c"};
        for (int i = 0; i < 3; ++i) {
            EX_ITEMINFO info{};
            info.type = 1;
            std::snprintf(info.itemname, sizeof info.itemname, "%c", 'a' + i);
            info.itemaccesslevel = 1;
            ah[i] = EXItemNew(&st, &info);
            EXItemObjectSetItemNote(ah[i], apszNotes[i]);
            EXItemCreate(hbrd, hF, ah[i], &st);
            ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
        }
        EXItemAddReference(ah[0], ah[1], &st, "refdata", 7, 0, 0);
        ASSERT_EQ(st, EXSM_SUCCESS);
        DB_ITEM att;
        att.item.type = 1;
        std::strcpy(att.item.itemname, "att");
        att.item.itemparentid = EXItemGetID(hF);
        att.item.itemaccess.itemaccesslevel = 1;
        att.attach.atttype = 1;
        std::strcpy(att.attach.attnamepath, "/files/report.txt");
        att.repos.repositorytype = 1;
        att.vsiReposLocation.value = "server/share/report.txt";
        ASSERT_EQ(catstore::ItemCreate(hbrd->pdb, &att, nullptr, hbrd), DBSuccess);
        DB_ITEM att2;
        att2.item = att.item;
        std::strcpy(att2.item.itemname, "att2");
        att2.attach.atttype = 1;
        std::strcpy(att2.attach.attnamepath, "/files/other.txt");
        ASSERT_EQ(catstore::ItemCreate(hbrd->pdb, &att2, nullptr, hbrd), DBSuccess);
        EXBoardClose(hbrd, &st);
    }

    // DBBoardVerify on a connected catalog, as the maintenance program calls it.
    uint16_t Verify(bool fRepair, EXSM_STATUS* pst = nullptr) {
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = EXBoardConnect(m_strPath.c_str(), 2, &st);
        if (pst != nullptr) {
            *pst = st;
        }
        if (hbrd == nullptr) {
            return 0xFFFF;
        }
        void* pContext = reinterpret_cast<void**>(hbrd)[2];
        const uint16_t w = DBBoardVerify(pContext, fRepair ? 1 : 0);
        EXBoardClose(hbrd, &st);
        return w;
    }

    // A text of an item found by name through the application's calls ("<no item>" when not
    // found): its note, or with fRepository its repository's location.
    std::string TextOf(const std::string& strName, bool fRepository = false) {
        CCatalogFile file(m_strPath);
        const int64_t nID =
            file.Int("SELECT itemid FROM db_itemrec WHERE itemname='" + strName + "'");
        if (!fRepository) {
            return NoteOf(uint32_t(nID));
        }
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = Open();
        std::string strText = "<no item>";
        ITEM_OBJECT* h = hbrd ? EXItemFindByID(hbrd, uint32_t(nID), nullptr, 0, &st) : nullptr;
        if (h != nullptr) {
            const EX_BLOB blob = EXItemObjectReposLocation(h);
            strText.assign(static_cast<const char*>(blob.pbData), blob.cbData);
            EXItemRelease(h, &st);
        }
        if (hbrd != nullptr) {
            EXBoardClose(hbrd, &st);
        }
        return strText;
    }

    // A user's shadow data through the application's calls ("<no user>" when not found).
    std::string ShadowOf(const char* pszUser) {
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = Open();
        std::string strShadow = "<no user>";
        USER_OBJECT* h = hbrd ? EXUserFindByName(hbrd, pszUser, &st) : nullptr;
        if (h != nullptr) {
            EX_USERINFO info{};
            EXUserGetInfo(h, &info, &st);
            if (st == EXSM_SUCCESS) {
                strShadow.assign(info.cbShadowData == 0
                                     ? ""
                                     : static_cast<const char*>(QNGlobalLock(info.hShadowData)),
                                 info.cbShadowData);
                if (info.cbShadowData != 0) {
                    QNGlobalUnlock(info.hShadowData);
                }
                FreeUserInfo(&info);
            }
            EXUserRelease(h, &st);
        }
        if (hbrd != nullptr) {
            EXBoardClose(hbrd, &st);
        }
        return strShadow;
    }

    std::string FileBytes() { return qn::test::ReadFile(m_strPath); }
    std::string SystemLog() { return qn::test::ReadFile(m_dir.file("log.txt")); }
    std::string CatalogLog() { return qn::test::ReadFile(m_dir.file("cat.log")); }

    // The note of an item found by id through the application's calls ("" when not found).
    std::string NoteOf(uint32_t dwID) {
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = Open();
        std::string strNote = "<no item>";
        ITEM_OBJECT* h = hbrd ? EXItemFindByID(hbrd, dwID, nullptr, 0, &st) : nullptr;
        if (h != nullptr) {
            strNote = EXItemObjectItemNote(h);
            EXItemRelease(h, &st);
        }
        if (hbrd != nullptr) {
            EXBoardClose(hbrd, &st);
        }
        return strNote;
    }
};

}  // namespace cstest
