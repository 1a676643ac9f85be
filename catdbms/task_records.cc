// TaskImpl: records, stamps and keys.
#include <cstring>

#include "catdbms/taskimpl.h"

namespace qn::dbms {

using namespace task_detail;

int TaskImpl::CheckDba(DBA dba) {
    if ((dba >> 24) >= uint32_t(kRecordCount) || DbaSlot(dba) == 0)
        return S_INVADDR;
    return S_OKAY;
}

int TaskImpl::FillNew(int recordCode, const void* buffer) {
    if (!IsOpen())
        return S_DBOPEN;
    const RecordDef* r = FindRecord(recordCode);
    if (r == nullptr)
        return S_INVREC;
    if (r->size > 0 && buffer == nullptr)
        return S_BADPARAM;
    if (recordCode == SYSTEM)
        return S_INVREC;  // the one system record is made with the catalog
    WriteOp op(*this);
    int rc = op.Begin();
    DBA dba = 0;
    if (rc == S_OKAY)
        rc = m_store.Insert(recordCode, buffer, &dba);
    rc = op.Finish(rc);
    if (rc == S_OKAY)
        m_cr = dba;
    return Ret(rc, "record create");
}

int TaskImpl::RecRead(void* buffer) {
    int rc = NeedCr();
    if (rc != S_OKAY)
        return rc;
    if (buffer == nullptr && FindRecord(DbaRecord(m_cr))->size > 0)
        return S_BADPARAM;
    return Ret(m_store.Read(m_cr, buffer, nullptr), "record read");
}

int TaskImpl::WriteRecord(DBA dba, const uint8_t* before, const uint8_t* after) {
    const int recordCode = DbaRecord(dba);
    int rc = m_store.Update(dba, after, before);
    for (const SetDef& s : kSets) {
        if (rc != S_OKAY)
            break;
        if (s.order != SetOrder::ORDER_ASCENDING || !IsSetMember(s.code, recordCode))
            continue;
        const FieldDef* f = FindField(s.sortField);
        if (std::memcmp(before + f->offset, after + f->offset, f->size) == 0)
            continue;
        rc = m_store.MemberRow(s.code, dba, nullptr, nullptr);
        if (rc == S_NOTFOUND) {
            rc = S_OKAY;
            continue;
        }
        if (rc == S_OKAY)
            rc = m_store.MemberSetOrd(
                s.code, dba,
                OrderKeyAscending(reinterpret_cast<const char*>(after + f->offset), f->size, dba));
    }
    for (const FieldDef& f : kFields) {
        if (rc != S_OKAY)
            break;
        if (f.record != recordCode || f.key != KeyKind::OPTKEY)
            continue;
        if (std::memcmp(before + f.offset, after + f.offset, f.size) == 0)
            continue;
        rc = m_store.OptKeyUpdate(f, KeyFromRecord(f, after), dba);
    }
    return rc;
}

int TaskImpl::RecWrite(const void* buffer) {
    int rc = NeedCr();
    if (rc != S_OKAY)
        return rc;
    const RecordDef* r = FindRecord(DbaRecord(m_cr));
    if (buffer == nullptr && r->size > 0)
        return S_BADPARAM;
    uint8_t before[kMaxRecordSize] = {}, after[kMaxRecordSize] = {};
    if (r->size > 0)
        std::memcpy(after, buffer, r->size);
    WriteOp op(*this);
    rc = op.Begin();
    if (rc == S_OKAY)
        rc = ReadRecord(m_cr, before);
    if (rc == S_OKAY)
        rc = WriteRecord(m_cr, before, after);
    return Ret(op.Finish(rc), "record write");
}

const FieldDef* TaskImpl::FieldOf(int fieldCode, int recordCode) {
    const FieldDef* f = FindField(fieldCode);
    if (f == nullptr || f->record != recordCode || f->kind == FieldKind::COMPOUND)
        return nullptr;
    return f;
}

int TaskImpl::ReadField(DBA dba, int fieldCode, void* buffer) {
    const FieldDef* f = FieldOf(fieldCode, DbaRecord(dba));
    if (f == nullptr)
        return S_INVFLD;
    if (buffer == nullptr)
        return S_BADPARAM;
    uint8_t rec[kMaxRecordSize];
    int rc = ReadRecord(dba, rec);
    if (rc == S_OKAY)
        std::memcpy(buffer, rec + f->offset, f->size);
    return rc;
}

int TaskImpl::CrRead(int fieldCode, void* buffer) {
    int rc = NeedCr();
    if (rc != S_OKAY)
        return rc;
    return Ret(ReadField(m_cr, fieldCode, buffer), "field read");
}

int TaskImpl::CrWrite(int fieldCode, const void* buffer) {
    int rc = NeedCr();
    if (rc != S_OKAY)
        return rc;
    const FieldDef* f = FieldOf(fieldCode, DbaRecord(m_cr));
    if (f == nullptr)
        return S_INVFLD;
    if (buffer == nullptr)
        return S_BADPARAM;
    uint8_t before[kMaxRecordSize], after[kMaxRecordSize];
    WriteOp op(*this);
    rc = op.Begin();
    if (rc == S_OKAY)
        rc = ReadRecord(m_cr, before);
    if (rc == S_OKAY) {
        std::memcpy(after, before, sizeof after);
        std::memcpy(after + f->offset, buffer, f->size);
        rc = WriteRecord(m_cr, before, after);
    }
    return Ret(op.Finish(rc), "field write");
}

int TaskImpl::DeleteCurrent(bool disconnect) {
    int rc = NeedCr();
    if (rc != S_OKAY)
        return rc;
    const DBA dba = m_cr;
    const int recordCode = DbaRecord(dba);
    if (recordCode == SYSTEM)
        return S_DELSYS;
    WriteOp op(*this);
    rc = op.Begin();
    if (rc == S_OKAY)
        rc = m_store.Exists(dba);
    std::vector<int> touchedOwnerSets;
    for (const SetDef& s : kSets) {
        if (rc != S_OKAY)
            break;
        if (IsSetMember(s.code, recordCode)) {
            DBA owner = 0;
            rc = m_store.MemberRow(s.code, dba, &owner, nullptr);
            if (rc == S_NOTFOUND) {
                rc = S_OKAY;
            } else if (rc == S_OKAY) {
                rc = disconnect ? m_store.MemberDelete(s.code, owner, dba) : S_ISMEMBER;
            }
        }
        if (rc == S_OKAY && s.owner == recordCode) {
            uint32_t n = 0;
            rc = m_store.OwnerCount(s.code, dba, &n);
            if (rc == S_OKAY && n > 0) {
                if (!disconnect) {
                    rc = S_HASMEMBER;
                } else {
                    std::vector<std::pair<DBA, std::string>> members;
                    rc = m_store.MemberList(s.code, dba, &members);
                    for (size_t i = 0; rc == S_OKAY && i < members.size(); ++i)
                        rc = m_store.MemberDelete(s.code, dba, members[i].first);
                    touchedOwnerSets.push_back(s.code);
                }
            }
        }
    }
    if (rc == S_OKAY)
        rc = m_store.Remove(dba);
    rc = op.Finish(rc);
    if (rc == S_OKAY) {
        ForgetDba(dba);
        for (int s : touchedOwnerSets) {
            if (m_owner[size_t(SetIndex(s))] == dba)
                m_member[size_t(SetIndex(s))] = 0;
        }
        // Members of sets this task was walking that were disconnected with the owner.
        for (int i = 0; i < kSetCount; ++i) {
            const DBA m = m_member[size_t(i)];
            if (m != 0 && m_owner[size_t(i)] == 0)
                m_member[size_t(i)] = 0;
        }
    }
    return Ret(rc, "record delete");
}

int TaskImpl::CrSet(DBA dba) {
    if (!IsOpen())
        return S_DBOPEN;
    int rc = CheckDba(dba);
    if (rc != S_OKAY)
        return rc;
    rc = m_store.Exists(dba);
    if (rc == S_OKAY)
        m_cr = dba;
    return Ret(rc, "make current");
}

int TaskImpl::ReadAt(DBA dba, void* buffer, uint32_t* stamp) {
    if (!IsOpen())
        return S_DBOPEN;
    int rc = CheckDba(dba);
    if (rc != S_OKAY)
        return rc;
    if (buffer == nullptr && FindRecord(DbaRecord(dba))->size > 0)
        return S_BADPARAM;
    rc = m_store.Read(dba, buffer, stamp);
    if (rc == S_OKAY)
        m_cr = dba;
    return Ret(rc, "record read");
}

int TaskImpl::Scan(int recordCode, int how) {
    if (!IsOpen())
        return S_DBOPEN;
    if (FindRecord(recordCode) == nullptr)
        return S_INVREC;
    const size_t ri = size_t(recordCode - kRecordBase);
    if (how == 2 && !m_scanValid[ri])
        how = 0;
    if (how == 3 && !m_scanValid[ri])
        how = 1;
    uint32_t slot = 0;
    int rc;
    switch (how) {
        case 0:
            rc = m_store.Scan(recordCode, 0, true, &slot);
            break;
        case 1:
            rc = m_store.Scan(recordCode, 0xFFFFFFFFu, false, &slot);
            break;
        case 2:
            rc = m_store.Scan(recordCode, m_scan[ri], true, &slot);
            break;
        default:
            rc = m_store.Scan(recordCode, m_scan[ri], false, &slot);
            break;
    }
    if (rc == S_OKAY) {
        m_scan[ri] = slot;
        m_scanValid[ri] = true;
        m_cr = MakeDba(recordCode, slot);
    }
    return Ret(rc, "record scan");
}

int TaskImpl::ScanRead(int recordCode, DBA after, DBA* found, void* buffer, uint32_t* stamp) {
    if (!IsOpen())
        return S_DBOPEN;
    const RecordDef* r = FindRecord(recordCode);
    if (r == nullptr || (after != 0 && DbaRecord(after) != recordCode))
        return S_INVREC;
    if (buffer == nullptr && r->size > 0)
        return S_BADPARAM;
    uint32_t slot = 0;
    int rc = m_store.ScanRead(recordCode, after == 0 ? 0 : DbaSlot(after), &slot, buffer, stamp);
    if (rc == S_OKAY) {
        const size_t ri = size_t(recordCode - kRecordBase);
        m_scan[ri] = slot;
        m_scanValid[ri] = true;
        m_cr = MakeDba(recordCode, slot);
        *found = m_cr;
    }
    return Ret(rc, "record scan");
}

int TaskImpl::RecSet(int recordCode) {
    int rc = NeedCr();
    if (rc != S_OKAY)
        return rc;
    if (FindRecord(recordCode) == nullptr || DbaRecord(m_cr) != recordCode)
        return S_INVREC;
    const size_t ri = size_t(recordCode - kRecordBase);
    m_scan[ri] = DbaSlot(m_cr);
    m_scanValid[ri] = true;
    return S_OKAY;
}

const FieldDef* TaskImpl::KeyField(int code) {
    const FieldDef* f = FindField(code);
    if (f == nullptr || f->key == KeyKind::NOKEY)
        return nullptr;
    return f;
}

int TaskImpl::KeyMove(int keyCode, CStore::Seek mode, const void* value) {
    if (!IsOpen())
        return S_DBOPEN;
    const FieldDef* f = FindField(keyCode);
    if (f == nullptr)
        return S_INVFLD;
    if (f->key == KeyKind::NOKEY)
        return S_NOTKEY;
    KeyCursor& cur = m_keys[size_t(f - kFields)];
    if (mode == CStore::Seek::After && !cur.valid)
        mode = CStore::Seek::First;
    if (mode == CStore::Seek::Before && !cur.valid)
        mode = CStore::Seek::Last;
    KeyValue kv;
    DBA from = 0;
    if (mode == CStore::Seek::Equal) {
        if (value == nullptr)
            return S_BADPARAM;
        kv = KeyFromValue(*f, value);
    } else if (mode == CStore::Seek::After || mode == CStore::Seek::Before) {
        kv = cur.kv;
        from = cur.dba;
    }
    DBA found = 0;
    KeyValue foundKv;
    int rc = m_store.KeySeek(*f, mode, kv, from, &found, &foundKv);
    m_lastKey = keyCode;
    if (rc == S_OKAY) {
        cur.valid = true;
        cur.kv = foundKv;
        cur.dba = found;
        m_cr = found;
    } else if (rc == S_NOTFOUND && mode == CStore::Seek::Equal) {
        // Between the keys below and above the value.
        cur.valid = true;
        cur.kv = kv;
        cur.dba = 0;
    }
    return Ret(rc, "key");
}

int TaskImpl::KeyFrom(int keyCode, const void* value, DBA dba, bool forward) {
    if (!IsOpen())
        return S_DBOPEN;
    if (value == nullptr)
        return S_BADPARAM;
    const FieldDef* f = FindField(keyCode);
    if (f == nullptr)
        return S_INVFLD;
    if (f->key == KeyKind::NOKEY)
        return S_NOTKEY;
    KeyCursor& cur = m_keys[size_t(f - kFields)];
    cur.valid = true;
    cur.kv = KeyFromValue(*f, value);
    cur.dba = dba;
    return KeyMove(keyCode, forward ? CStore::Seek::After : CStore::Seek::Before, nullptr);
}

int TaskImpl::KeyRead(void* value) {
    if (!IsOpen())
        return S_DBOPEN;
    if (value == nullptr)
        return S_BADPARAM;
    const FieldDef* f = m_lastKey != 0 ? FindField(m_lastKey) : nullptr;
    if (f == nullptr)
        return S_NOCR;
    const KeyCursor& cur = m_keys[size_t(f - kFields)];
    if (!cur.valid || cur.dba == 0)
        return S_NOCR;
    KeyToValue(*f, cur.kv, value);
    return S_OKAY;
}

int TaskImpl::OptionalKey(int keyCode, int what) {
    int rc = NeedCr();
    if (rc != S_OKAY)
        return rc;
    const FieldDef* f = FindField(keyCode);
    if (f == nullptr)
        return S_INVFLD;
    if (f->key != KeyKind::OPTKEY)
        return S_NOTKEY;
    if (f->record != DbaRecord(m_cr))
        return S_INVREC;
    if (what == 2)
        return Ret(m_store.OptKeyExists(*f, m_cr), "key test");
    WriteOp op(*this);
    rc = op.Begin();
    if (rc == S_OKAY)
        rc = m_store.Exists(m_cr);
    if (rc == S_OKAY) {
        if (what == 0) {
            uint8_t rec[kMaxRecordSize];
            rc = ReadRecord(m_cr, rec);
            if (rc == S_OKAY)
                rc = m_store.OptKeyStore(*f, KeyFromRecord(*f, rec), m_cr);
        } else {
            rc = m_store.OptKeyDelete(*f, m_cr);
        }
    }
    if (rc == S_NOTFOUND) {
        op.Finish(S_OKAY);
        return S_NOTFOUND;
    }
    return Ret(op.Finish(rc), "key entry");
}

}  // namespace qn::dbms
