// The stored item: DB_ITEMREC with its folder, attachment and repository records and its eight
// variable strings, the in-memory DB_ITEM, and the store routines that read, write, create and
// find one item.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "engine.h"
#include "schema.h"
#include "varstr.h"

// Field-flag groups of an item.
inline constexpr uint32_t ITEMFIELDS_FOLDER = 0x00048000;
inline constexpr uint32_t ITEMFIELDS_ATTACHMENT = 0x01800100;
inline constexpr uint32_t ITEMFIELDS_TEXTS = 0x00782000;
inline constexpr uint32_t ITEMFIELDS_NOTE = 0x00002000;
inline constexpr uint32_t ITEMFIELDS_OWNER = 0x00000008;
inline constexpr uint32_t ITEMFIELDS_PARENT = 0x00001000;
inline constexpr uint32_t ITEMFIELDS_UNREADONLY = 0x00004000;
inline constexpr uint32_t ITEMFIELDS_ACCESS = 0x00010000;
inline constexpr uint32_t ITEMFIELDS_SIGNIFICANT = 0x00F97FC1;

inline constexpr uint16_t ITEMTYPE_FOLDER = 4;

namespace catstore {

// The folder record of an item in memory: only folders have one, so that an item copy of
// another type does not carry a folder record's bytes. Copies are deep.
class CFolderPart {
  public:
    CFolderPart() = default;
    CFolderPart(const CFolderPart& o) : m_p(o.m_p ? std::make_unique<Rec>(*o.m_p) : nullptr) {}
    CFolderPart(CFolderPart&&) noexcept = default;
    CFolderPart& operator=(const CFolderPart& o) {
        if (this != &o) {
            m_p = o.m_p ? std::make_unique<Rec>(*o.m_p) : nullptr;
        }
        return *this;
    }
    CFolderPart& operator=(CFolderPart&&) noexcept = default;
    CFolderPart& operator=(const qn::dbms::db_folderrec& rec) {
        if (m_p) {
            *m_p = rec;
        } else {
            m_p = std::make_unique<Rec>(rec);
        }
        return *this;
    }
    explicit operator bool() const { return m_p != nullptr; }
    qn::dbms::db_folderrec& operator*() const { return *m_p; }
    qn::dbms::db_folderrec* operator->() const { return m_p.get(); }

  private:
    using Rec = qn::dbms::db_folderrec;
    std::unique_ptr<Rec> m_p;
};

}  // namespace catstore

// One item in memory with all its parts and stamps.
struct DB_ITEM {
    catstore::CDbContext* pdb = nullptr;
    catstore::DBA dba = 0;
    int32_t nType = qn::dbms::DB_ITEMREC;
    int64_t stamp = 0;  // 0: not known; -1: to be fetched
    qn::dbms::db_itemrec item{};
    qn::dbms::db_attachrec attach{};
    catstore::CFolderPart folder;  // only for folders
    qn::dbms::db_repositoryrec repos{};
    catstore::DBA dbaFolder = 0;
    uint64_t stampFolder = 0;
    catstore::DBA dbaRepos = 0;
    uint64_t stampRepos = 0;
    uint32_t dwFieldFlags = 0;
    uint32_t dwRefTag = 0;
    catstore::VarStringHolder vsiNote;
    catstore::VarStringHolder vsiExtendedInfo;
    catstore::VarStringHolder vsiInstructions;
    catstore::VarStringHolder vsiKeywords;
    catstore::VarStringHolder vsiSubscribers;
    catstore::VarStringHolder vsiReposLocation;
    catstore::VarStringHolder vsiReposPolicy;
    catstore::VarStringHolder vsiReposPrivate;
    std::string strAttachmentTopic;
    std::string strFolderTopic;
};

// The change entry being built.
struct DB_CHANGEINFO {
    qn::dbms::db_changeentryrec entry{};
    catstore::VarStringHolder data;
};

using ChangeNotifier = int (*)(DB_CHANGEINFO*, DB_ITEM*, unsigned short, BOARD_OBJECT*);

namespace catstore {

// The all-fields mask of an item (Created entries, notifications).
uint32_t AllFieldsMask(const DB_ITEM& item);

// Prepares a folder item without parent (access level 1, id 0) of a folder type.
void InitFolderItem(DB_ITEM* pItem, const char* pszName, const char* pszDescription,
                    uint16_t wFolderType, uint16_t wOwner);

// The lock packets of reading and of writing one item.
std::vector<LockEntry> ItemReadPacket();
std::vector<LockEntry> ItemWritePacket();

// Store routines. pfnNotifier may be null (then no change entry is written).
// Item read: brings the item up to date (only the parts its field flags select; 0 all).
// DBRecordModified: success, and the record had changed since the copy was read.
DBStatus ItemRead(CDbContext* pdb, DB_ITEM* pItem);
// Under locks the caller holds: the item record at dba with its stamp (no parts), and the parts
// a field-flag mask selects (0 all) of an item whose record is read.
DBStatus ItemReadRecordAt(CDbContext* pdb, DBA dba, DB_ITEM* pItem);
DBStatus ItemReadParts(CDbContext* pdb, DB_ITEM* pItem, uint32_t dwFlags);
// DBSuccess when an item has the id, DBNotFound when none has.
DBStatus ItemExists(CDbContext* pdb, uint32_t dwItemID);
DBStatus ItemWrite(CDbContext* pdb, DB_ITEM* pItem, ChangeNotifier pfnNotifier, BOARD_OBJECT* hbrd);
DBStatus ItemCreate(CDbContext* pdb, DB_ITEM* pItem, ChangeNotifier pfnNotifier,
                    BOARD_OBJECT* hbrd);
// The same inside a transaction whose packet (ItemWritePacket) the caller holds: many creates
// in one transaction ask for their locks once. A failure leaves *pItem part-written; the
// caller aborts.
DBStatus ItemCreateLocked(CDbContext* pdb, DB_ITEM* pItem, ChangeNotifier pfnNotifier,
                          BOARD_OBJECT* hbrd);
DBStatus ItemFindByID(CDbContext* pdb, uint32_t dwItemID, DB_ITEM* pItem);
DBStatus ItemFindByAttachmentKey(CDbContext* pdb, uint32_t dwResourceID, uint32_t dwCrc,
                                 DB_ITEM* pItem);
DBStatus ItemFindByRepositoryKey(CDbContext* pdb, uint32_t dwResourceID, uint32_t dwCrc,
                                 DB_ITEM* pItem);
// Reads the item at dba (all parts).
DBStatus ItemReadAt(CDbContext* pdb, DBA dba, DB_ITEM* pItem);

// The checksum of a path as attachment keys use it (lower case, without the NUL).
uint32_t PathChecksum(const char* pszPath);

// Change entries (the change log).
DBStatus WriteChangeEntry(CDbContext* pdb, DB_ITEM* pItem, const DB_ITEM* pOther,
                          ChangeNotifier pfnNotifier, unsigned short wKind, BOARD_OBJECT* hbrd);

}  // namespace catstore
