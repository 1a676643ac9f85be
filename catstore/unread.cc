#include "unread.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "board.h"
#include "frame.h"
#include "items.h"
#include "locks.h"
#include "platform/liveobjects.h"
#include "reclaim.h"
#include "trace.h"
#include "users.h"

namespace catstore {

uint16_t UnreadFlagsOfMask(uint32_t dwFields) {
    if (dwFields == 0 || dwFields == ITEMFIELDS_UNREADONLY) {
        return 0;
    }
    uint16_t w = EX_UNREAD_CHANGED;
    if ((dwFields & EX_FIELD_ATTACHMENT) != 0) {
        w |= EX_UNREAD_ATTACHMENT;
    }
    if ((dwFields & EX_FIELD_NOTE) != 0) {
        w |= EX_UNREAD_NOTE;
    }
    return w;
}

// Makes the user's stored marks equal to the set's: one member per mark, rewritten only where
// it differs, and none for an item without mark.
static DBStatus WriteMarks(CDbContext* pdb, DBA dbaUser,
                           const std::unordered_map<uint32_t, qn::dbms::db_unreadrec>& marks) {
    int rc = pdb->MakeCurrent(dbaUser);
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(DBS_UNREAD_BY_USER);
    }
    std::unordered_map<uint32_t, std::pair<DBA, qn::dbms::db_unreadrec>> stored;
    std::vector<DBA> surplus;
    if (rc == S_OKAY) {
        for (rc = pdb->FindFirst(DBS_UNREAD_BY_USER); rc == S_OKAY;
             rc = pdb->FindNext(DBS_UNREAD_BY_USER)) {
            qn::dbms::db_unreadrec e{};
            DBA dba = 0;
            rc = pdb->Read(&e);
            if (rc == S_OKAY) {
                rc = pdb->CurrentDba(&dba);
            }
            if (rc != S_OKAY) {
                break;
            }
            if (marks.count(e.unreaditemid) == 0 ||
                !stored.emplace(e.unreaditemid, std::make_pair(dba, e)).second) {
                surplus.push_back(dba);
            }
        }
        rc = rc == S_EOS ? S_OKAY : rc;
    }
    for (auto it = marks.begin(); rc == S_OKAY && it != marks.end(); ++it) {
        auto found = stored.find(it->first);
        if (found == stored.end()) {
            rc = pdb->Create(DB_UNREADREC, &it->second);
            if (rc == S_OKAY) {
                rc = pdb->Connect(DBS_UNREAD_BY_USER);
            }
        } else if (std::memcmp(&found->second.second, &it->second, sizeof it->second) != 0) {
            rc = pdb->MakeCurrent(found->second.first);
            if (rc == S_OKAY) {
                rc = pdb->Write(&it->second);
            }
        }
    }
    for (size_t i = 0; rc == S_OKAY && i < surplus.size(); ++i) {
        rc = pdb->DeleteAt(surplus[i]);
    }
    return MapEngineStatus(rc);
}

}  // namespace catstore

using namespace catstore;

DBStatus UNREAD_SET::Load(CDbContext* pdb, DBA dbaUser, const qn::dbms::db_userrec& user) {
    m_pdb = pdb;
    m_dbaUser = dbaUser;
    m_user = user;
    m_entries.clear();
    m_children.clear();
    m_fDirty = false;
    CStoreRead read(pdb, Packet({DBS_UNREAD_BY_USER, DB_UNREADREC, DB_USERREC}, 'r'));
    DBStatus st = read.Status();
    if (st != DBSuccess) {
        return st;
    }
    TimerStart("TIMER: Start DBUserFindUnread");
    uint32_t cMarks = 0;
    int rc = pdb->MakeCurrent(dbaUser);
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(DBS_UNREAD_BY_USER);
    }
    if (rc == S_OKAY) {
        rc = pdb->MemberCount(DBS_UNREAD_BY_USER, &cMarks);
    }
    TimerStop("TIMER: Stop DBUserFindUnread");
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    try {
        m_entries.reserve(cMarks + 20);
    } catch (const std::bad_alloc&) {
        return DBOutOfMemory;
    }
    char achTimer[64];
    std::snprintf(achTimer, sizeof achTimer, "TIMER: Start DBUserIterateUnread (%d entries)",
                  static_cast<int>(cMarks));
    TimerStart(achTimer);
    for (rc = pdb->FindFirst(DBS_UNREAD_BY_USER); rc == S_OKAY;
         rc = pdb->FindNext(DBS_UNREAD_BY_USER)) {
        Entry e{};
        rc = pdb->Read(&e);
        if (rc != S_OKAY) {
            break;
        }
        if (e.unreaditemid != 0 && m_entries.emplace(e.unreaditemid, e).second) {
            Link(e.unreaditemid, e.unreadparentid);
        }
    }
    TimerStop("TIMER: Stop DBUserIterateUnread");
    return rc == S_EOS ? DBSuccess : MapEngineStatus(rc);
}

void UNREAD_SET::Link(uint32_t dwItemID, uint32_t dwParentID) {
    if (dwParentID != 0) {
        m_children[dwParentID].insert(dwItemID);
    }
}

void UNREAD_SET::Unlink(uint32_t dwItemID, uint32_t dwParentID) {
    auto it = m_children.find(dwParentID);
    if (it != m_children.end()) {
        it->second.erase(dwItemID);
        if (it->second.empty()) {
            m_children.erase(it);
        }
    }
}

const UNREAD_SET::Entry* UNREAD_SET::Find(uint32_t dwItemID) const {
    auto it = m_entries.find(dwItemID);
    return it == m_entries.end() ? nullptr : &it->second;
}

uint32_t UNREAD_SET::ChangedFields(uint32_t dwItemID) const {
    const Entry* p = Find(dwItemID);
    return p != nullptr ? p->unreadchangefields : 0;
}

uint16_t UNREAD_SET::UnreadFlags(uint32_t dwItemID) const {
    return UnreadFlagsOfMask(ChangedFields(dwItemID));
}

void UNREAD_SET::Clear(uint32_t dwItemID, UnreadRoutine pfnRoutine, BOARD_OBJECT* hbrd) {
    auto it = m_entries.find(dwItemID);
    if (it != m_entries.end()) {
        Unlink(dwItemID, it->second.unreadparentid);
        m_entries.erase(it);
        m_fDirty = true;
        if (pfnRoutine != nullptr) {
            pfnRoutine(dwItemID, hbrd);
        }
    }
    auto children = m_children.find(dwItemID);
    if (children == m_children.end()) {
        return;
    }
    // In item-id order, as the marks are kept.
    std::vector<uint32_t> ids(children->second.begin(), children->second.end());
    std::sort(ids.begin(), ids.end());
    for (uint32_t id : ids) {
        Clear(id, pfnRoutine, hbrd);
    }
}

void UNREAD_SET::MarkRead(uint32_t dwItemID, UnreadRoutine pfnRoutine, BOARD_OBJECT* hbrd) {
    if (dwItemID != 0) {
        Clear(dwItemID, pfnRoutine, hbrd);
    }
}

void UNREAD_SET::ApplyChange(const qn::dbms::db_changeentryrec& change, UnreadRoutine pfnRoutine,
                             BOARD_OBJECT* hbrd) {
    auto it = m_entries.find(change.changeitemid);
    if (it != m_entries.end()) {
        Entry& e = it->second;
        e.unreadchangefields |= change.changefields;
        if (change.changekind == EX_CHANGE_MODIFIED &&
            (change.changefields & ITEMFIELDS_PARENT) != 0 &&
            e.unreadparentid != change.changeparentid) {
            Unlink(e.unreaditemid, e.unreadparentid);
            e.unreadparentid = change.changeparentid;
            Link(e.unreaditemid, e.unreadparentid);
        }
    } else if (change.changeitemid != 0) {
        // The first twenty bytes of the change record are the mark: access, fields, item,
        // parent, then the user and kind of the change.
        Entry e{};
        static_assert(sizeof(Entry) == 20, "an unread mark is 20 bytes");
        std::memcpy(&e, &change, sizeof e);
        m_entries.emplace(e.unreaditemid, e);
        Link(e.unreaditemid, e.unreadparentid);
    }
    m_fDirty = true;
    if (pfnRoutine != nullptr) {
        pfnRoutine(change.changeitemid, hbrd);
    }
}

void UNREAD_SET::Verify(BOARD_OBJECT* hbrd) {
    std::vector<uint32_t> ids;
    ids.reserve(m_entries.size());
    for (const auto& kv : m_entries) {
        ids.push_back(kv.first);
    }
    std::sort(ids.begin(), ids.end());
    for (uint32_t id : ids) {
        if (m_entries.count(id) == 0) {
            continue;  // a descendant of one dropped before
        }
        if (ItemExists(hbrd->pdb, id) == DBNotFound) {
            LogLine(LOG_STORE, "UNREAD: Error, Non-existent item detected, ID=%lu\r\n",
                    static_cast<unsigned long>(id));
            MarkRead(id, nullptr, hbrd);
        }
    }
}

uint64_t UNREAD_SET::Bytes() const {
    // Hash nodes of the marks and of the parent index, and their buckets.
    constexpr size_t MARK = sizeof(void*) + sizeof(std::pair<const uint32_t, Entry>);
    constexpr size_t CHILD = sizeof(void*) + sizeof(uint32_t);
    return sizeof(UNREAD_SET) + m_entries.size() * MARK + m_entries.bucket_count() * sizeof(void*) +
           m_entries.size() * CHILD + m_children.size() * 64;
}

DBStatus UNREAD_SET::WriteBack() {
    if (m_pdb == nullptr || m_dbaUser == 0) {
        return DBSuccess;
    }
    CDbContext* pdb = m_pdb;
    char achTimer[64];
    std::snprintf(achTimer, sizeof achTimer, "TIMER: Start DBUserWriteUnread (%lu entries)",
                  static_cast<unsigned long>(m_entries.size()));
    TimerStart(achTimer);
    CStoreTransaction tx(pdb, "DBUserWriteUnread",
                         Packet({DBS_UNREAD_BY_USER, DB_UNREADREC, DB_USERREC}, 'w'));
    DBStatus st = tx.Status();
    qn::dbms::db_userrec stored{};
    int rc = S_OKAY;
    if (st == DBSuccess) {
        rc = pdb->MakeCurrent(m_dbaUser);
        if (rc == S_OKAY) {
            rc = pdb->Read(&stored);
        }
        if (rc == S_OKAY && stored.userlastchangeaddr != m_user.userlastchangeaddr) {
            stored.userlastchangeaddr = m_user.userlastchangeaddr;
            rc = pdb->Write(&stored);
        }
        st = rc == S_DELETED ? DBDeleted : MapEngineStatus(rc);
    }
    if (st == DBSuccess && m_fDirty) {
        st = WriteMarks(pdb, m_dbaUser, m_entries);
    }
    st = tx.Finish(st);
    TimerStop("TIMER: Stop DBUserWriteUnread");
    if (st == DBSuccess) {
        m_fDirty = false;
    }
    return st;
}

// ---- Exported ---------------------------------------------------------------------------------

using qn::platform::ObjectKind;

static bool IsLiveSet(const UNREAD_SET* pSet) {
    return pSet != nullptr && qn::platform::IsLiveObject(pSet, ObjectKind::UnreadSet);
}

UNREAD_SET* catstore::NewUnreadSet() {
    auto pSet = std::make_unique<UNREAD_SET>();
    qn::platform::RegisterLiveObject(pSet.get(), ObjectKind::UnreadSet);
    return pSet.release();
}

void catstore::FreeUnreadSet(UNREAD_SET* pSet) {
    if (pSet != nullptr) {
        qn::platform::UnregisterLiveObject(pSet);
        ReclaimHandle(pSet);
    }
}

extern "C" UNREAD_SET* EXUnreadSetForUser(BOARD_OBJECT* hbrd, USER_OBJECT* hUser,
                                          EXSM_STATUS* status) {
    return RunApi("EXUnreadSetForUser", status, static_cast<UNREAD_SET*>(nullptr),
                  [&](EXSM_STATUS* st) -> UNREAD_SET* {
                      if (!IsLiveBoard(hbrd) || !IsLiveUser(hUser)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      UNREAD_SET* pSet = NewUnreadSet();
                      SetStatus(st, pSet->Load(hbrd->pdb, hUser->holder.dba, hUser->holder.rec));
                      return pSet;
                  });
}

extern "C" void EXUnreadSetFinalize(BOARD_OBJECT* hbrd, UNREAD_SET* pSet) {
    RunApiNoStatus("EXUnreadSetFinalize", 0, [&]() {
        if (!IsLiveSet(pSet)) {
            return 0;
        }
        if (pSet->WriteBack() != DBSuccess) {
            ReportAssertion("!IS_EXERROR (&CommitStatus)", ".\\EXUNREAD");
        }
        // The catalog's own set lives until the catalog closes.
        if (!(IsLiveBoard(hbrd) && hbrd->pUnread == pSet)) {
            FreeUnreadSet(pSet);
        }
        return 0;
    });
}

extern "C" void EXUnreadSetVerify(BOARD_OBJECT* hbrd, UNREAD_SET* pSet, long) {
    RunApiNoStatus("EXUnreadSetVerify", 0, [&]() {
        if (IsLiveSet(pSet) && IsLiveBoard(hbrd)) {
            pSet->Verify(hbrd);
        }
        return 0;
    });
}

extern "C" EXSM_STATUS VerifyNotifier(unsigned long dwItemID, void*) {
    LogLine(LOG_STORE, "UNREAD: Error, Incomplete parent chain propagation, ID=%lu\r\n", dwItemID);
    return EXSM_SUCCESS;
}
