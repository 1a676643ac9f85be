// Bringing an older catalog's tables and stored dictionary up to this engine's, in place.
#include <sqlite3.h>

#include <cstring>
#include <string>
#include <unordered_set>

#include "catdbms/dbms.h"
#include "catdbms/schemasql.h"

namespace qn::dbms {

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// The statement of a new catalog's DDL that makes what is missing and leaves what is there.
std::string IfMissing(const std::string& ddl) {
    for (const char* prefix : {"CREATE TABLE ", "CREATE UNIQUE INDEX ", "CREATE INDEX "}) {
        if (StartsWith(ddl, prefix))
            return prefix + std::string("IF NOT EXISTS ") + ddl.substr(std::strlen(prefix));
    }
    return std::string();
}

const char* const kDictionaryTables[] = {"dbms_records", "dbms_fields", "dbms_sets",
                                         "dbms_setmembers"};

}  // namespace

int CStore::MigrateDictionary(CheckReport* report) {
    ResetWalk();
    // Tables made here take the slot rule of the catalog's other tables.
    const std::vector<std::string> schema = CatalogSchemaSql(!m_ownSlots);
    // Tables first, then the columns they lack, then the indexes over those columns.
    for (const std::string& ddl : schema) {
        if (StartsWith(ddl, "CREATE TABLE ")) {
            const int status = Exec(IfMissing(ddl).c_str());
            if (status != S_OKAY)
                return status;
        }
    }
    for (const RecordDef& r : kRecords) {
        const std::string table = RecordTable(r.code);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(m_db, ("PRAGMA table_info(" + table + ")").c_str(), -1, &st,
                               nullptr) != SQLITE_OK) {
            sqlite3_finalize(st);
            return Status(sqlite3_extended_errcode(m_db));
        }
        std::unordered_set<std::string> present;
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            const unsigned char* name = sqlite3_column_text(st, 1);
            if (name != nullptr)
                present.insert(reinterpret_cast<const char*>(name));
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE)
            return Status(sqlite3_extended_errcode(m_db));
        for (const Column& c : Columns(r.code)) {
            const std::string name = Lower(c.field->name);
            if (present.count(name) != 0)
                continue;
            // A short or empty stored value reads as zeros, as a field the old writer never set.
            const char* type = c.blob || c.field->kind == FieldKind::BYTES
                                   ? "BLOB NOT NULL DEFAULT X''"
                               : c.field->kind == FieldKind::STR ? "TEXT NOT NULL DEFAULT ''"
                                                                 : "INTEGER NOT NULL DEFAULT 0";
            const int status =
                Exec(("ALTER TABLE " + table + " ADD COLUMN " + Quote(name) + " " + type).c_str());
            if (status != S_OKAY)
                return status;
        }
    }
    for (const std::string& ddl : schema) {
        if (StartsWith(ddl, "CREATE UNIQUE INDEX ") || StartsWith(ddl, "CREATE INDEX ")) {
            const int status = Exec(IfMissing(ddl).c_str());
            if (status != S_OKAY)
                return status;
        }
    }
    // The stored dictionary becomes this engine's, row for row as a new catalog has it.
    for (const char* table : kDictionaryTables) {
        const int status = Exec((std::string("DELETE FROM ") + table).c_str());
        if (status != S_OKAY)
            return status;
    }
    for (const std::string& sql : schema) {
        bool dictionaryRow = false;
        for (const char* table : kDictionaryTables)
            dictionaryRow =
                dictionaryRow ||
                StartsWith(sql, (std::string("INSERT INTO ") + table + " VALUES").c_str());
        int status = S_OKAY;
        if (dictionaryRow)
            status = Exec(sql.c_str());
        else if (StartsWith(sql, "INSERT INTO dbms_info "))
            status = Exec(("INSERT OR IGNORE INTO dbms_info " + sql.substr(22)).c_str());
        if (status != S_OKAY)
            return status;
    }
    int status = Exec(
        (std::string("UPDATE dbms_info SET value='") + kDictionaryVersion + "' WHERE key='version'")
            .c_str());
    if (status == S_OKAY)
        status = RebuildKeys(report);
    if (status == S_OKAY)
        m_olderDictionary = false;
    return status;
}

}  // namespace qn::dbms
