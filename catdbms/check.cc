// The catalog's own structure check and the key rebuild: every set membership, member count,
// order key and key entry against the records they describe.
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "catdbms/dbms.h"
#include "catdbms/store.h"

namespace qn::dbms {

namespace {

constexpr size_t kMaxMessages = 1000;
constexpr size_t kMaxRecord = 1024;

void Report(CheckReport* r, const std::string& text) {
    ++r->errors;
    if (r->messages.size() < kMaxMessages)
        r->messages.push_back(text);
}

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

bool ValidDba(DBA dba) {
    return (dba >> 24) < uint32_t(kRecordCount) && DbaSlot(dba) != 0;
}

}  // namespace

int CStore::Check(CheckReport* report) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    // 1. The storage itself, indexes included.
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, "PRAGMA integrity_check(100)", -1, &st, nullptr) != SQLITE_OK)
        return Status(sqlite3_extended_errcode(m_db));
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const char* line = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        if (line != nullptr && std::strcmp(line, "ok") != 0)
            Report(report, std::string("storage: ") + line);
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));

    // 2. Records: one system record; count all.
    for (const RecordDef& r : kRecords) {
        uint32_t n = 0;
        int status = Count(r.code, &n);
        if (status != S_OKAY)
            return status;
        report->records += n;
        if (r.code == SYSTEM && n != 1)
            Report(report, "the system record is missing or repeated");
    }

    // 3. Memberships: owner and member exist with the set's types, order keys match. Each set
    // is checked set-at-a-time by SQL (an index lookup per row inside the statement), so that a
    // catalog of many memberships costs a few table passes and not one read per membership.
    uint8_t rec[kMaxRecord];
    {
        st = Prepare("SELECT count(*) FROM dbms_member");
        if (st == nullptr || sqlite3_step(st) != SQLITE_ROW)
            return Status(sqlite3_extended_errcode(m_db));
        report->memberships += uint32_t(sqlite3_column_int64(st, 0));
        sqlite3_reset(st);
    }
    auto rows = [&](const std::string& sql, int setCode,
                    const std::function<void(DBA, DBA, sqlite3_stmt*)>& fn) {
        sqlite3_stmt* q = Prepare(sql);
        if (q == nullptr)
            return Status(sqlite3_extended_errcode(m_db));
        if (setCode != 0)
            sqlite3_bind_int(q, 1, setCode);
        int step;
        while ((step = sqlite3_step(q)) == SQLITE_ROW)
            fn(DBA(sqlite3_column_int64(q, 0)), DBA(sqlite3_column_int64(q, 1)), q);
        sqlite3_reset(q);
        return step == SQLITE_DONE ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
    };
    auto place = [](int setCode, DBA owner, DBA member) {
        return " (set " + std::to_string(setCode) + ", owner " + Hex(owner) + ", member " +
               Hex(member) + ")";
    };
    auto exists = [](int recordCode, const char* column) {
        return "EXISTS (SELECT 1 FROM " + RecordTable(recordCode) + " WHERE slot=(" + column +
               " & 16777215) AND (" + column +
               " >> 24)=" + std::to_string(recordCode - kRecordBase) + ")";
    };
    rc = rows(
        "SELECT owner, member, setcode FROM dbms_member WHERE setcode < " +
            std::to_string(kSetBase) + " OR setcode >= " + std::to_string(kSetBase + kSetCount),
        0, [&](DBA owner, DBA member, sqlite3_stmt* q) {
            Report(report,
                   "membership of an unknown set" + place(sqlite3_column_int(q, 2), owner, member));
        });
    if (rc != S_OKAY)
        return rc;
    for (const SetDef& s : kSets) {
        rc = rows("SELECT owner, member FROM dbms_member m WHERE setcode=?1 AND NOT " +
                      exists(s.owner, "m.owner"),
                  s.code, [&](DBA owner, DBA member, sqlite3_stmt*) {
                      Report(report, std::string(ValidDba(owner) && DbaRecord(owner) == s.owner
                                                     ? "owner missing in "
                                                     : "owner of the wrong type in ") +
                                         s.name + place(s.code, owner, member));
                  });
        if (rc != S_OKAY)
            return rc;
        std::string anyMember;
        for (const SetMemberDef& sm : kSetMembers) {
            if (sm.set == s.code)
                anyMember += (anyMember.empty() ? "" : " OR ") + exists(sm.member, "m.member");
        }
        rc = rows(
            "SELECT owner, member FROM dbms_member m WHERE setcode=?1 AND NOT (" + anyMember + ")",
            s.code, [&](DBA owner, DBA member, sqlite3_stmt*) {
                Report(report,
                       std::string(ValidDba(member) && IsSetMember(s.code, DbaRecord(member))
                                       ? "member missing in "
                                       : "member of the wrong type in ") +
                           s.name + place(s.code, owner, member));
            });
        if (rc != S_OKAY)
            return rc;
        if (s.order != SetOrder::ORDER_ASCENDING) {
            rc = rows("SELECT owner, member FROM dbms_member WHERE setcode=?1 AND length(ord) != 8",
                      s.code, [&](DBA owner, DBA member, sqlite3_stmt*) {
                          Report(report, std::string("malformed order key in ") + s.name +
                                             place(s.code, owner, member));
                      });
            if (rc != S_OKAY)
                return rc;
            continue;
        }
        // The order key of each member against its sort field, as the record buffer holds it.
        const FieldDef* f = FindField(s.sortField);
        std::string column = f->name;
        for (char& ch : column)
            ch = char(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
        for (const SetMemberDef& sm : kSetMembers) {
            if (sm.set != s.code)
                continue;
            rc = rows(
                "SELECT m.owner, m.member, m.ord, t.\"" + column + "\" FROM dbms_member m JOIN " +
                    RecordTable(sm.member) + " t ON t.slot=(m.member & 16777215) WHERE " +
                    "m.setcode=?1 AND (m.member >> 24)=" + std::to_string(sm.member - kRecordBase),
                s.code, [&](DBA owner, DBA member, sqlite3_stmt* q) {
                    std::memset(rec, 0, f->size);
                    const bool blob = sqlite3_column_type(q, 3) == SQLITE_BLOB;
                    const void* data = blob ? sqlite3_column_blob(q, 3)
                                            : static_cast<const void*>(sqlite3_column_text(q, 3));
                    const int n = sqlite3_column_bytes(q, 3);
                    if (data != nullptr && n > 0)
                        std::memcpy(rec, data, std::min<size_t>(size_t(n), f->size));
                    const std::string ord(static_cast<const char*>(sqlite3_column_blob(q, 2)),
                                          size_t(sqlite3_column_bytes(q, 2)));
                    if (ord !=
                        OrderKeyAscending(reinterpret_cast<const char*>(rec), f->size, member))
                        Report(report, std::string("order key out of date in ") + s.name +
                                           place(s.code, owner, member));
                });
            if (rc != S_OKAY)
                return rc;
        }
    }

    // 4. Member counts.
    st = Prepare(
        "SELECT o.setcode, o.owner, o.members, coalesce(c.n, 0) FROM dbms_owner o LEFT JOIN "
        "(SELECT setcode, owner, count(*) AS n FROM dbms_member GROUP BY setcode, owner) c ON "
        "c.setcode=o.setcode AND c.owner=o.owner WHERE c.n IS NULL OR c.n != o.members");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        Report(report, "member count " + std::to_string(sqlite3_column_int64(st, 2)) + " but " +
                           std::to_string(sqlite3_column_int64(st, 3)) + " members (set " +
                           std::to_string(sqlite3_column_int(st, 0)) + ", owner " +
                           Hex(uint32_t(sqlite3_column_int64(st, 1))) + ")");
    }
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));
    st = Prepare(
        "SELECT setcode, owner, count(*) FROM dbms_member m GROUP BY setcode, owner HAVING NOT "
        "EXISTS (SELECT 1 FROM "
        "dbms_owner o WHERE o.setcode=m.setcode AND o.owner=m.owner)");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        Report(report, "members without a member count (set " +
                           std::to_string(sqlite3_column_int(st, 0)) + ", owner " +
                           Hex(uint32_t(sqlite3_column_int64(st, 1))) + ")");
    }
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));

    // 5. Optional-key entries against their records.
    for (const FieldDef& f : kFields) {
        if (f.key != KeyKind::OPTKEY)
            continue;
        const std::vector<const FieldDef*> comps = KeyComponents(f);
        std::string cols;
        for (const FieldDef* c : comps) {
            std::string name = c->name;
            for (char& ch : name)
                ch = char(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
            cols += "\"" + name + "\", ";
        }
        st = Prepare("SELECT " + cols + "dba FROM " + KeyTable(f));
        if (st == nullptr)
            return Status(sqlite3_extended_errcode(m_db));
        std::vector<std::pair<KeyValue, DBA>> entries;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            KeyValue kv(comps.size());
            for (size_t i = 0; i < comps.size(); ++i)
                kv[i].number = sqlite3_column_int64(st, int(i));
            entries.emplace_back(kv, DBA(sqlite3_column_int64(st, int(comps.size()))));
        }
        sqlite3_reset(st);
        if (rc != SQLITE_DONE)
            return Status(sqlite3_extended_errcode(m_db));
        for (const auto& [kv, dba] : entries) {
            ++report->keyEntries;
            const std::string where = std::string(" in ") + f.name + " (" + Hex(dba) + ")";
            if (!ValidDba(dba) || DbaRecord(dba) != f.record) {
                Report(report, "key entry for a record of the wrong type" + where);
                continue;
            }
            int status = Read(dba, rec, nullptr);
            if (status == S_DELETED) {
                Report(report, "key entry for a missing record" + where);
                continue;
            }
            if (status != S_OKAY)
                return status;
            if (!(KeyFromRecord(f, rec) == kv))
                Report(report, "key entry out of date" + where);
        }
    }
    return report->errors == 0 ? S_OKAY : S_NOTFOUND;
}

int CStore::RebuildKeys(CheckReport* report) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    int status = Exec("REINDEX");
    if (status != S_OKAY)
        return status;
    uint8_t rec[kMaxRecord];

    // Memberships: drop the ones whose owner or member is gone or of the wrong type; renew the
    // order keys of ascending sets from the sort fields.
    sqlite3_stmt* st = Prepare("SELECT setcode, owner, member, ord FROM dbms_member");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    std::vector<std::tuple<int, DBA, DBA, std::string>> rows;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        rows.emplace_back(sqlite3_column_int(st, 0), DBA(sqlite3_column_int64(st, 1)),
                          DBA(sqlite3_column_int64(st, 2)),
                          std::string(static_cast<const char*>(sqlite3_column_blob(st, 3)),
                                      size_t(sqlite3_column_bytes(st, 3))));
    }
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_stmt* del = Prepare("DELETE FROM dbms_member WHERE setcode=?1 AND member=?2");
    if (del == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    for (const auto& [setCode, owner, member, ord] : rows) {
        ++report->memberships;
        const SetDef* s = FindSet(setCode);
        bool drop = s == nullptr || !ValidDba(owner) || DbaRecord(owner) != s->owner ||
                    !ValidDba(member) || !IsSetMember(setCode, DbaRecord(member));
        if (!drop) {
            status = Exists(owner);
            if (status == S_OKAY)
                status = Read(member, rec, nullptr);
            if (status == S_DELETED)
                drop = true;
            else if (status != S_OKAY)
                return status;
        }
        if (drop) {
            Report(report, "dropped membership (set " + std::to_string(setCode) + ", owner " +
                               Hex(owner) + ", member " + Hex(member) + ")");
            sqlite3_bind_int(del, 1, setCode);
            sqlite3_bind_int64(del, 2, member);
            rc = sqlite3_step(del);
            sqlite3_reset(del);
            if (rc != SQLITE_DONE)
                return Status(sqlite3_extended_errcode(m_db));
            continue;
        }
        if (s->order == SetOrder::ORDER_ASCENDING) {
            const FieldDef* f = FindField(s->sortField);
            const std::string want =
                OrderKeyAscending(reinterpret_cast<const char*>(rec + f->offset), f->size, member);
            if (want != ord) {
                Report(report, std::string("renewed order key in ") + s->name + " (member " +
                                   Hex(member) + ")");
                status = MemberSetOrd(setCode, member, want);
                if (status != S_OKAY)
                    return status;
            }
        }
    }
    // Member counts from the memberships.
    status = Exec(
        "DELETE FROM dbms_owner; INSERT INTO dbms_owner(setcode, owner, members) SELECT setcode, "
        "owner, count(*) "
        "FROM dbms_member GROUP BY setcode, owner");
    if (status != S_OKAY)
        return status;

    // Optional-key entries: values from the records; entries of missing records dropped.
    for (const FieldDef& f : kFields) {
        if (f.key != KeyKind::OPTKEY)
            continue;
        st = Prepare("SELECT DISTINCT dba FROM " + KeyTable(f));
        if (st == nullptr)
            return Status(sqlite3_extended_errcode(m_db));
        std::vector<DBA> dbas;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW)
            dbas.push_back(DBA(sqlite3_column_int64(st, 0)));
        sqlite3_reset(st);
        if (rc != SQLITE_DONE)
            return Status(sqlite3_extended_errcode(m_db));
        for (DBA dba : dbas) {
            ++report->keyEntries;
            status =
                ValidDba(dba) && DbaRecord(dba) == f.record ? Read(dba, rec, nullptr) : S_DELETED;
            if (status == S_DELETED) {
                Report(report,
                       std::string("dropped key entry in ") + f.name + " (" + Hex(dba) + ")");
                status = OptKeyDelete(f, dba);
                if (status != S_OKAY && status != S_NOTFOUND)
                    return status;
                continue;
            }
            if (status != S_OKAY)
                return status;
            status = OptKeyDelete(f, dba);
            if (status == S_OKAY)
                status = OptKeyStore(f, KeyFromRecord(f, rec), dba);
            if (status != S_OKAY)
                return status;
        }
    }
    uint32_t systems = 0;
    status = Count(SYSTEM, &systems);
    if (status != S_OKAY)
        return status;
    if (systems == 0) {
        Report(report, "made the missing system record");
        status = Exec("INSERT INTO db_system(stamp) VALUES(0)");
        if (status != S_OKAY)
            return status;
    }
    for (const RecordDef& r : kRecords) {
        uint32_t n = 0;
        status = Count(r.code, &n);
        if (status != S_OKAY)
            return status;
        report->records += n;
    }
    return S_OKAY;
}

}  // namespace qn::dbms
