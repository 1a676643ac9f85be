// The item check of the verification: the folder structure, the kind, the owner and the access
// rights of every item, the root and the Lost and Found folder, and the subtrees the root does
// not reach.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "items.h"
#include "verify.h"

namespace catstore {
namespace {

constexpr uint32_t kRootID = 1;
constexpr const char kLostAndFound[] = "Lost and Found";

int ConnectTo(CDbContext* pdb, int32_t nSet, DBA dbaOwner, DBA dbaMember) {
    int rc = nSet == DBS_ITEMS ? pdb->SetOwnerSystem(nSet) : pdb->MakeCurrent(dbaOwner);
    if (rc == S_OKAY && nSet != DBS_ITEMS) {
        rc = pdb->SetOwnerCurrent(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->MakeCurrent(dbaMember);
    }
    if (rc == S_OKAY) {
        rc = pdb->Connect(nSet);
    }
    return rc;
}

int DisconnectFrom(CDbContext* pdb, int32_t nSet, DBA dbaMember) {
    int rc = pdb->MakeCurrent(dbaMember);
    if (rc == S_OKAY) {
        rc = pdb->SetMemberCurrent(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->Disconnect(nSet);
    }
    return rc == S_EOS ? S_OKAY : rc;
}

// What the item check reads at its start.
struct ItemModel {
    std::vector<std::pair<DBA, db_itemrec>> items;
    std::unordered_map<uint32_t, size_t> byID;  // ITEMID -> index into items
    std::unordered_map<DBA, size_t> byDba;
    std::unordered_map<uint16_t, DBA> userByID;  // USERID -> user record
    std::unordered_map<DBA, uint16_t> userByDba;
    std::unordered_set<uint16_t> groups;
    std::unordered_set<DBA> folderRecords;
    uint16_t wSystemID = 1;
    SetIndex inItems, itemsInFolder, foldersInFolder, ownsItem;

    int Load(CDbContext* pdb) {
        int rc = ScanAll<db_userrec>(pdb, DB_USERREC, [&](DBA dba, const db_userrec& r) {
            userByID[r.userid] = dba;
            userByDba[dba] = r.userid;
            if (std::strncmp(r.username, "SYSTEM", sizeof r.username) == 0) {
                wSystemID = r.userid;
            }
            return S_OKAY;
        });
        if (rc == S_OKAY) {
            rc = ScanAll<db_grouprec>(pdb, DB_GROUPREC, [&](DBA, const db_grouprec& r) {
                groups.insert(r.groupid);
                return S_OKAY;
            });
        }
        if (rc == S_OKAY) {
            rc = ScanAll<db_folderrec>(pdb, DB_FOLDERREC, [&](DBA dba, const db_folderrec&) {
                folderRecords.insert(dba);
                return S_OKAY;
            });
        }
        if (rc == S_OKAY) {
            rc = ScanAll<db_itemrec>(pdb, DB_ITEMREC, [&](DBA dba, const db_itemrec& r) {
                byID.emplace(r.itemid, items.size());
                byDba.emplace(dba, items.size());
                items.emplace_back(dba, r);
                return S_OKAY;
            });
        }
        if (rc == S_OKAY) {
            rc = inItems.Load(pdb, DBS_ITEMS);
        }
        if (rc == S_OKAY) {
            rc = itemsInFolder.Load(pdb, DBS_ITEMS_IN_FOLDER);
        }
        if (rc == S_OKAY) {
            rc = foldersInFolder.Load(pdb, DBS_FOLDERS_IN_FOLDER);
        }
        if (rc == S_OKAY) {
            rc = ownsItem.Load(pdb, DBS_OWNS_ITEM);
        }
        return rc;
    }
    const db_itemrec* ItemAt(DBA dba) const {
        auto it = byDba.find(dba);
        return it == byDba.end() ? nullptr : &items[it->second].second;
    }
    DBA DbaOfID(uint32_t dwID) const {
        auto it = byID.find(dwID);
        return it == byID.end() ? 0 : items[it->second].first;
    }
};

// Creates an item under the check's locks; it becomes current.
int CreateItem(CDbContext* pdb, DB_ITEM* pItem) {
    DBStatus st = ItemCreateLocked(pdb, pItem, nullptr, nullptr);
    return st == DBSuccess ? S_OKAY : st == DBDuplicate ? S_DUPLICATE : S_SYSERR;
}

int FindLostAndFound(CVerifyRun& run, const ItemModel& model) {
    const DBA dbaRoot = model.DbaOfID(kRootID);
    for (const auto& [dba, rec] : model.items) {
        if (model.foldersInFolder.Owner(dba) == dbaRoot && dbaRoot != 0 &&
            std::strncmp(rec.itemname, kLostAndFound, sizeof rec.itemname) == 0 &&
            rec.itemaccess.itemaccesslevel == 3 && rec.itemaccess.itemaccessgrouporuserid == 1) {
            run.dbaLostFound = dba;
            run.dwLostFoundID = rec.itemid;
            return S_OKAY;
        }
    }
    return S_NOTFOUND;
}

int MakeLostAndFound(CVerifyRun& run) {
    DB_ITEM lost;
    InitFolderItem(&lost, kLostAndFound, "File Catalog Repair -- Folder and Tag Orphanage", 0, 1);
    lost.item.itemparentid = kRootID;
    lost.item.uidresponsible = 1;
    lost.item.tmlastmodified = 0;
    lost.item.itemaccess.itemaccesslevel = 3;
    lost.item.itemaccess.itemaccessgrouporuserid = 1;
    int rc = CreateItem(run.Db(), &lost);
    if (rc == S_OKAY) {
        run.dbaLostFound = lost.dba;
        run.dwLostFoundID = lost.item.itemid;
    }
    return rc;
}

// One item's check; the record is written back when it was damaged and the check repairs.
class CItemCheck {
  public:
    CItemCheck(CVerifyRun& run, ItemModel& model) : m_run(run), m_model(model) {}

    int Check(DBA dba, db_itemrec& rec, uint32_t* pcErrors);
    int Unreached(DBA dba, db_itemrec& rec, uint32_t* pcErrors);
    // Folder records no item names: no one's, removed when repairing.
    int UnownedFolderRecords(uint32_t* pcErrors);

  private:
    void Error(const char* pszText, const db_itemrec& rec) {
        ++m_cErrors;
        m_fDamaged = true;
        if (pszText != nullptr) {
            m_run.Finding("DBBoardVerify: %s for ID=%lu, '%s'\r\n", pszText,
                          static_cast<unsigned long>(rec.itemid), rec.itemname);
        }
    }
    int Place(DBA dba, db_itemrec& rec);
    int Kind(DBA dba, db_itemrec& rec);
    int Owner(DBA dba, db_itemrec& rec);
    void Access(db_itemrec& rec);
    int MoveToLostAndFound(DBA dba, db_itemrec& rec);

    CVerifyRun& m_run;
    ItemModel& m_model;
    std::unordered_set<DBA> m_usedFolderRecords;
    uint32_t m_cErrors = 0;
    bool m_fDamaged = false;
};

int CItemCheck::MoveToLostAndFound(DBA dba, db_itemrec& rec) {
    CDbContext* pdb = m_run.Db();
    int rc = S_OKAY;
    if (m_model.itemsInFolder.Has(dba)) {
        rc = DisconnectFrom(pdb, DBS_ITEMS_IN_FOLDER, dba);
    }
    if (rc == S_OKAY && m_model.foldersInFolder.Has(dba)) {
        rc = DisconnectFrom(pdb, DBS_FOLDERS_IN_FOLDER, dba);
        m_model.foldersInFolder.ownerOf[dba] = m_run.dbaLostFound;
    }
    if (rc == S_OKAY) {
        rc = ConnectTo(pdb, DBS_ITEMS_IN_FOLDER, m_run.dbaLostFound, dba);
    }
    if (rc == S_OKAY && m_model.foldersInFolder.Has(dba)) {
        rc = ConnectTo(pdb, DBS_FOLDERS_IN_FOLDER, m_run.dbaLostFound, dba);
    }
    m_model.itemsInFolder.ownerOf[dba] = m_run.dbaLostFound;
    rec.itemparentid = m_run.dwLostFoundID;
    return rc;
}

int CItemCheck::Place(DBA dba, db_itemrec& rec) {
    CDbContext* pdb = m_run.Db();
    const bool fRepair = m_run.Repair();
    int rc = S_OKAY;
    if (!m_model.inItems.Has(dba)) {
        Error("Item missing from ITEMS set", rec);
        if (fRepair) {
            rc = ConnectTo(pdb, DBS_ITEMS, 0, dba);
        }
    }
    DBA dbaInItems = m_model.itemsInFolder.Owner(dba);
    const DBA dbaInFolders = m_model.foldersInFolder.Owner(dba);
    if (rc != S_OKAY) {
        return rc;
    }
    if (dbaInItems == 0 && dbaInFolders == 0) {
        Error("Unrooted subtree detected", rec);
        const DBA dbaParent =
            rec.itemparentid != rec.itemid ? m_model.DbaOfID(rec.itemparentid) : 0;
        if (!fRepair) {
            return S_OKAY;
        }
        if (dbaParent != 0) {
            // The parent is still there: the item goes back into it.
            rc = ConnectTo(pdb, DBS_ITEMS_IN_FOLDER, dbaParent, dba);
            m_model.itemsInFolder.ownerOf[dba] = dbaParent;
            return rc;
        }
        Error("Parent for Unrooted subtree not found", rec);
        if (m_run.dbaLostFound == 0) {
            return S_NOTFOUND;
        }
        return MoveToLostAndFound(dba, rec);
    }
    if (dbaInItems == 0) {
        Error("Folder connected to folders set but not items set", rec);
        dbaInItems = dbaInFolders;
        if (fRepair) {
            rc = ConnectTo(pdb, DBS_ITEMS_IN_FOLDER, dbaInFolders, dba);
            m_model.itemsInFolder.ownerOf[dba] = dbaInFolders;
        }
    } else if (dbaInFolders != 0 && dbaInFolders != dbaInItems) {
        Error("Folders set owner differs from items set owner", rec);
        if (fRepair) {
            rc = DisconnectFrom(pdb, DBS_FOLDERS_IN_FOLDER, dba);
            if (rc == S_OKAY) {
                rc = ConnectTo(pdb, DBS_FOLDERS_IN_FOLDER, dbaInItems, dba);
            }
            m_model.foldersInFolder.ownerOf[dba] = dbaInItems;
        }
    }
    const db_itemrec* pOwner = m_model.ItemAt(dbaInItems);
    if (pOwner == nullptr) {
        return rc;  // a membership whose owner is gone: the storage check reports it
    }
    if (pOwner->itemid != rec.itemparentid) {
        Error("Invalid ParentID detected", rec);
        if (fRepair) {
            rec.itemparentid = pOwner->itemid;
        }
    }
    return rc;
}

int CItemCheck::Kind(DBA dba, db_itemrec& rec) {
    CDbContext* pdb = m_run.Db();
    const bool fRepair = m_run.Repair();
    const bool fChildren = m_model.itemsInFolder.Owns(dba) || m_model.foldersInFolder.Owns(dba);
    int rc = S_OKAY;
    if (fChildren && rec.type != ITEMTYPE_FOLDER) {
        Error("Item with members made a folder", rec);
        if (fRepair) {
            rec.type = ITEMTYPE_FOLDER;
        }
    }
    const bool fFolder = fChildren || rec.type == ITEMTYPE_FOLDER;
    if (!fFolder) {
        m_usedFolderRecords.insert(rec.folderstruct);
        if (m_model.foldersInFolder.Has(dba)) {
            Error("Item found in FOLDERS set detected", rec);
            if (fRepair) {
                rc = DisconnectFrom(pdb, DBS_FOLDERS_IN_FOLDER, dba);
                m_model.foldersInFolder.ownerOf.erase(dba);
            }
        }
        return rc;
    }
    const DBA dbaFolder = rec.folderstruct;
    if (dbaFolder == 0 || m_model.folderRecords.count(dbaFolder) == 0 ||
        !m_usedFolderRecords.insert(dbaFolder).second) {
        // Missing, of another type, or already another folder's: this one gets its own.
        Error("Folder record missing or corrupted", rec);
        if (fRepair) {
            db_folderrec folder{};
            rc = pdb->Create(DB_FOLDERREC, &folder);
            DBA dbaNew = 0;
            if (rc == S_OKAY) {
                rc = pdb->CurrentDba(&dbaNew);
            }
            rec.folderstruct = dbaNew;
            m_usedFolderRecords.insert(dbaNew);
        }
    }
    if (rc == S_OKAY && !m_model.foldersInFolder.Has(dba)) {
        Error("Folder missing from FOLDERS set detected", rec);
        const DBA dbaOwner = m_model.itemsInFolder.Owner(dba);
        if (fRepair && dbaOwner != 0) {
            rc = ConnectTo(pdb, DBS_FOLDERS_IN_FOLDER, dbaOwner, dba);
            m_model.foldersInFolder.ownerOf[dba] = dbaOwner;
        }
    }
    return rc;
}

int CItemCheck::Owner(DBA dba, db_itemrec& rec) {
    CDbContext* pdb = m_run.Db();
    const bool fRepair = m_run.Repair();
    const DBA dbaUser = m_model.ownsItem.Owner(dba);
    if (dbaUser == 0) {
        if (rec.uidowner == 0) {
            return S_OKAY;
        }
        auto it = m_model.userByID.find(rec.uidowner);
        if (it != m_model.userByID.end()) {
            Error("Missing owner-item relationship detected", rec);
            return fRepair ? ConnectTo(pdb, DBS_OWNS_ITEM, it->second, dba) : S_OKAY;
        }
        Error("Invalid owner user id detected", rec);
        if (fRepair) {
            rec.uidowner = 0;
        }
        return S_OKAY;
    }
    if (rec.uidowner == 0) {
        Error("invalid user owning item set", rec);
        return fRepair ? DisconnectFrom(pdb, DBS_OWNS_ITEM, dba) : S_OKAY;
    }
    auto it = m_model.userByDba.find(dbaUser);
    if (it != m_model.userByDba.end() && it->second != rec.uidowner) {
        Error("Invalid owner user id detected", rec);
        if (fRepair) {
            rec.uidowner = it->second;
        }
    }
    return S_OKAY;
}

void CItemCheck::Access(db_itemrec& rec) {
    const uint16_t wLevel = rec.itemaccess.itemaccesslevel;
    const uint16_t wID = rec.itemaccess.itemaccessgrouporuserid;
    // Repaired rights never show an item to more users than it named: the owner keeps it.
    const uint16_t wOwner = rec.uidowner != 0 && m_model.userByID.count(rec.uidowner) != 0
                                ? rec.uidowner
                                : m_model.wSystemID;
    if (wLevel == 2 || wLevel == 3) {
        const bool fFound =
            wLevel == 2 ? m_model.groups.count(wID) != 0 : m_model.userByID.count(wID) != 0;
        if (wID == 0 || !fFound) {
            Error("Access rights Group/User id not found", rec);
            if (m_run.Repair()) {
                rec.itemaccess.itemaccesslevel = 3;
                rec.itemaccess.itemaccessgrouporuserid = wOwner;
            }
        }
        return;
    }
    if (wLevel > 3) {
        Error("Access rights invalid. Access undefined", rec);
        if (m_run.Repair()) {
            rec.itemaccess.itemaccesslevel = 3;
            rec.itemaccess.itemaccessgrouporuserid = wOwner;
        }
        return;
    }
    if (wID != 0) {
        Error("Access control id not used", rec);
        if (m_run.Repair()) {
            rec.itemaccess.itemaccessgrouporuserid = 0;
        }
    }
}

int WriteItem(CVerifyRun& run, DBA dba, const db_itemrec& rec) {
    CDbContext* pdb = run.Db();
    int rc = pdb->MakeCurrent(dba);
    if (rc == S_OKAY) {
        rc = pdb->Write(&rec);
    }
    return rc;
}

int CItemCheck::Check(DBA dba, db_itemrec& rec, uint32_t* pcErrors) {
    m_cErrors = 0;
    m_fDamaged = false;
    int rc = S_OKAY;
    bool fTexts = true;
    for (DBA* pField : {&rec.itemextendedinfo, &rec.iteminstructions, &rec.itemkeywords,
                        &rec.itemnote, &rec.itemsubscribers}) {
        DBA dbaField = *pField;
        fTexts = m_run.CheckString(&dbaField, &rc) && fTexts;
        std::memcpy(pField, &dbaField, sizeof dbaField);
        if (rc != S_OKAY) {
            return rc;
        }
    }
    if (!fTexts) {
        Error(nullptr, rec);
        m_run.Finding("DBBoardVerify: item var strings corrupted at DBA=0x%08lX\r\n",
                      static_cast<unsigned long>(dba));
    }
    if (rec.itemid == kRootID) {
        if (rec.itemparentid != 0) {
            Error("Root with a parent detected", rec);
            if (m_run.Repair()) {
                rec.itemparentid = 0;
            }
        }
        if (m_model.itemsInFolder.Has(dba) || m_model.foldersInFolder.Has(dba)) {
            Error("Root inside a folder detected", rec);
            if (m_run.Repair()) {
                if (m_model.itemsInFolder.Has(dba)) {
                    rc = DisconnectFrom(m_run.Db(), DBS_ITEMS_IN_FOLDER, dba);
                }
                if (rc == S_OKAY && m_model.foldersInFolder.Has(dba)) {
                    rc = DisconnectFrom(m_run.Db(), DBS_FOLDERS_IN_FOLDER, dba);
                }
                m_model.itemsInFolder.ownerOf.erase(dba);
                m_model.foldersInFolder.ownerOf.erase(dba);
            }
        }
        m_usedFolderRecords.insert(rec.folderstruct);
    } else if (rec.itemparentid == 0) {
        // The root of a user's own folders: only its texts are examined.
        m_usedFolderRecords.insert(rec.folderstruct);
    } else {
        rc = Place(dba, rec);
        if (rc == S_OKAY) {
            rc = Kind(dba, rec);
        }
        if (rc == S_OKAY) {
            rc = Owner(dba, rec);
        }
        if (rc == S_OKAY) {
            Access(rec);
        }
    }
    if (rc == S_OKAY && m_fDamaged && m_run.Repair()) {
        m_run.Finding("DBBoardVerify: Repairing damaged item for ID=%lu, '%s'\r\n",
                      static_cast<unsigned long>(rec.itemid), rec.itemname);
        rc = WriteItem(m_run, dba, rec);
    }
    *pcErrors += m_cErrors;
    return rc;
}

int CItemCheck::Unreached(DBA dba, db_itemrec& rec, uint32_t* pcErrors) {
    m_cErrors = 0;
    m_fDamaged = false;
    Error("Folder cycle or subtree not reached from the root", rec);
    int rc = S_OKAY;
    if (m_run.Repair() && m_run.dbaLostFound != 0) {
        rc = MoveToLostAndFound(dba, rec);
        if (rc == S_OKAY) {
            rc = WriteItem(m_run, dba, rec);
        }
    }
    *pcErrors += m_cErrors;
    return rc;
}

int CItemCheck::UnownedFolderRecords(uint32_t* pcErrors) {
    std::vector<DBA> unowned;
    for (DBA dba : m_model.folderRecords) {
        if (m_usedFolderRecords.count(dba) == 0) {
            unowned.push_back(dba);
        }
    }
    std::sort(unowned.begin(), unowned.end());
    for (DBA dba : unowned) {
        ++*pcErrors;
        m_run.Finding("DBBoardVerify: folder record owned by no item at DBA=0x%08lX\r\n",
                      static_cast<unsigned long>(dba));
        if (m_run.Repair()) {
            const int rc = m_run.Db()->DeleteAt(dba);
            if (rc != S_OKAY) {
                return rc;
            }
        }
    }
    return S_OKAY;
}

// The items the root reaches through DBS_ITEMS_IN_FOLDER, from the set's members in memory.
class CReach {
  public:
    explicit CReach(const SetIndex& itemsInFolder) {
        for (const auto& [member, owner] : itemsInFolder.ownerOf) {
            m_children[owner].push_back(member);
        }
    }
    void From(DBA dba) {
        std::vector<DBA> stack{dba};
        while (!stack.empty()) {
            DBA d = stack.back();
            stack.pop_back();
            if (!m_reached.insert(d).second) {
                continue;
            }
            auto it = m_children.find(d);
            if (it != m_children.end()) {
                stack.insert(stack.end(), it->second.begin(), it->second.end());
            }
        }
    }
    bool Reached(DBA dba) const { return m_reached.count(dba) != 0; }
    void Move(DBA dba, DBA from, DBA to) {
        auto& v = m_children[from];
        v.erase(std::remove(v.begin(), v.end(), dba), v.end());
        m_children[to].push_back(dba);
    }

  private:
    std::unordered_map<DBA, std::vector<DBA>> m_children;
    std::unordered_set<DBA> m_reached;
};

int MakeRoot(CVerifyRun& run, ItemModel& model) {
    DB_ITEM root;
    InitFolderItem(&root, "Zelto Files Catalog Root", "", 2, 0);
    root.item.itemid = kRootID;
    int rc = CreateItem(run.Db(), &root);
    if (rc == S_OKAY) {
        model.byID[kRootID] = model.items.size();
        model.byDba[root.dba] = model.items.size();
        model.items.emplace_back(root.dba, root.item);
        model.inItems.ownerOf[root.dba] = 0;
        model.folderRecords.insert(root.item.folderstruct);
    }
    return rc;
}

}  // namespace

int SetIndex::Load(CDbContext* pdb, int32_t nSet) {
    std::vector<std::pair<DBA, DBA>> pairs;
    int rc = pdb->MemberPairs(nSet, &pairs);
    if (rc != S_OKAY) {
        return rc;
    }
    ownerOf.reserve(pairs.size());
    for (const auto& [owner, member] : pairs) {
        ownerOf[member] = owner;
        ++memberCount[owner];
    }
    return S_OKAY;
}

int ItemCheckIntegrity(CVerifyRun& run, uint32_t* pcErrors) {
    ItemModel model;
    int rc = model.Load(run.Db());
    if (rc != S_OKAY) {
        return rc;
    }
    if (model.DbaOfID(kRootID) == 0) {
        ++*pcErrors;
        run.Finding("DBBoardVerify: Root folder missing for ID=%lu\r\n",
                    static_cast<unsigned long>(kRootID));
        if (run.Repair()) {
            rc = MakeRoot(run, model);
            if (rc != S_OKAY) {
                return rc;
            }
        }
    }
    if (FindLostAndFound(run, model) != S_OKAY && run.Repair() && model.DbaOfID(kRootID) != 0) {
        rc = MakeLostAndFound(run);
        if (rc != S_OKAY) {
            return rc;
        }
        // The new folder is in every set already; it is not checked again.
    }
    CItemCheck check(run, model);
    for (auto& [dba, rec] : model.items) {
        rc = check.Check(dba, rec, pcErrors);
        if (rc == S_DUPLICATE) {
            return rc;
        }
        if (rc != S_OKAY) {
            return rc;
        }
    }
    rc = check.UnownedFolderRecords(pcErrors);
    if (rc != S_OKAY) {
        return rc;
    }
    // Cycles, and subtrees hanging from items the root does not reach.
    const DBA dbaRoot = model.DbaOfID(kRootID);
    CReach reach(model.itemsInFolder);
    if (dbaRoot != 0) {
        reach.From(dbaRoot);
    }
    if (run.dbaLostFound != 0) {
        reach.From(run.dbaLostFound);
    }
    for (const auto& [dba, rec] : model.items) {
        if (rec.itemparentid == 0) {
            reach.From(dba);
        }
    }
    for (auto& [dba, rec] : model.items) {
        if (reach.Reached(dba) || dba == dbaRoot || dbaRoot == 0 || dba == run.dbaLostFound ||
            model.itemsInFolder.Owner(dba) == 0) {
            continue;
        }
        const DBA dbaFrom = model.itemsInFolder.Owner(dba);
        rc = check.Unreached(dba, rec, pcErrors);
        if (rc != S_OKAY) {
            return rc;
        }
        if (run.Repair() && run.dbaLostFound != 0) {
            reach.Move(dba, dbaFrom, run.dbaLostFound);
            reach.From(dba);
        } else {
            reach.From(dba);  // its subtree is the same finding
        }
    }
    return S_OKAY;
}

int FindOrMakeLostAndFound(CVerifyRun& run) {
    if (run.dbaLostFound != 0) {
        return S_OKAY;
    }
    ItemModel model;
    int rc = model.Load(run.Db());
    if (rc != S_OKAY) {
        return rc;
    }
    if (FindLostAndFound(run, model) == S_OKAY) {
        return S_OKAY;
    }
    return run.Repair() && model.DbaOfID(kRootID) != 0 ? MakeLostAndFound(run) : S_OKAY;
}

}  // namespace catstore
