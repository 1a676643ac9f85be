// CDbFile: a catalog's database file as storage alone, for the catalog utilities.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "catdbms/dbms.h"
#include "catdbms/store.h"

namespace qn::dbms {

namespace {

// Busy waits for the database file itself (tasks' own locks are not taken).
constexpr int kBusyTimeoutMs = 10000;

bool NotADatabase(int rc) {
    return (rc & 0xFF) == SQLITE_NOTADB || (rc & 0xFF) == SQLITE_CORRUPT;
}

// The status of a failure to open or read the file.
int OpenStatus(int rc) {
    if (NotADatabase(rc))
        return S_INVDB;
    switch (rc & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return S_UNAVAIL;
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_READONLY:
            return S_BADPATH;
        case SQLITE_NOMEM:
            return S_NOMEMORY;
        default:
            return S_SYSERR;
    }
}

// The status of a failed copy, check or rebuild.
int WorkStatus(int rc) {
    if (NotADatabase(rc))
        return S_INVDB;
    if ((rc & 0xFF) == SQLITE_CANTOPEN)
        return S_BADPATH;
    CStore store;
    return store.Status(rc);
}

bool Exists(const std::string& path) {
    struct stat sb;
    return ::stat(path.c_str(), &sb) == 0;
}

}  // namespace

struct CDbFile::Impl {
    sqlite3* db = nullptr;
    bool snapshot = false;
    std::string error;

    void Fail(int rc) { error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc); }
    int Exec(const char* sql) {
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            Fail(sqlite3_extended_errcode(db));
        return rc == SQLITE_OK ? SQLITE_OK : sqlite3_extended_errcode(db);
    }
};

CDbFile::CDbFile() : m_impl(new Impl) {}

CDbFile::~CDbFile() {
    Close();
}

int CDbFile::Open(const char* path, bool write) {
    Close();
    if (path == nullptr)
        return S_BADPARAM;
    Impl& f = *m_impl;
    int rc = sqlite3_open_v2(
        path, &f.db, (write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX,
        nullptr);
    if (f.db == nullptr) {
        f.error = "out of memory";
        return S_NOMEMORY;
    }
    sqlite3_extended_result_codes(f.db, 1);
    sqlite3_busy_timeout(f.db, kBusyTimeoutMs);
    if (rc == SQLITE_OK)
        rc = f.Exec("SELECT count(*) FROM sqlite_master");
    else
        f.Fail(rc);
    if (rc != SQLITE_OK) {
        const std::string why = f.error;
        Close();
        f.error = why;
        return OpenStatus(rc);
    }
    return S_OKAY;
}

void CDbFile::Close() {
    Impl& f = *m_impl;
    if (f.db != nullptr) {
        EndSnapshot();
        sqlite3_close_v2(f.db);
        f.db = nullptr;
    }
}

bool CDbFile::IsCatalog() {
    Impl& f = *m_impl;
    if (f.db == nullptr)
        return false;
    // Every catalog has the table of its board record, the first record type.
    sqlite3_stmt* st = nullptr;
    bool catalog = false;
    if (sqlite3_prepare_v2(f.db,
                           "SELECT count(*) FROM sqlite_master WHERE type='table' AND name=?1", -1,
                           &st, nullptr) == SQLITE_OK) {
        const std::string table = RecordTable(kRecords[0].code);
        sqlite3_bind_text(st, 1, table.c_str(), int(table.size()), SQLITE_TRANSIENT);
        catalog = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) > 0;
    }
    sqlite3_finalize(st);
    return catalog;
}

int CDbFile::BeginSnapshot() {
    Impl& f = *m_impl;
    if (f.db == nullptr)
        return S_DBOPEN;
    if (f.snapshot)
        return S_OKAY;
    // The snapshot starts at the first read, not at BEGIN.
    int rc = f.Exec("BEGIN");
    if (rc == SQLITE_OK) {
        rc = f.Exec("SELECT count(*) FROM sqlite_master");
        if (rc != SQLITE_OK)
            sqlite3_exec(f.db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK)
        return WorkStatus(rc);
    f.snapshot = true;
    return S_OKAY;
}

void CDbFile::EndSnapshot() {
    Impl& f = *m_impl;
    if (f.db != nullptr && f.snapshot)
        sqlite3_exec(f.db, "COMMIT", nullptr, nullptr, nullptr);
    f.snapshot = false;
}

int CDbFile::PageCount(uint64_t* pages) {
    Impl& f = *m_impl;
    if (f.db == nullptr)
        return S_DBOPEN;
    if (pages == nullptr)
        return S_BADPARAM;
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(f.db, "PRAGMA page_count", -1, &st, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(st);
    if (rc == SQLITE_ROW)
        *pages = uint64_t(sqlite3_column_int64(st, 0));
    else
        f.Fail(sqlite3_extended_errcode(f.db));
    const int ext = sqlite3_extended_errcode(f.db);
    sqlite3_finalize(st);
    return rc == SQLITE_ROW ? S_OKAY : WorkStatus(ext);
}

int CDbFile::CopyTo(const char* path, uint32_t pagesPerBatch, CopyProgress progress,
                    void* context) {
    Impl& f = *m_impl;
    if (f.db == nullptr)
        return S_DBOPEN;
    if (path == nullptr)
        return S_BADPARAM;
    try {
        bool stopped = false;
        const int rc = CopyDatabase(f.db, path, pagesPerBatch, progress, context, true, &stopped);
        if (stopped) {
            f.error = "stopped";
            return S_STOPPED;
        }
        if (rc != SQLITE_OK && rc != SQLITE_DONE) {
            f.error = sqlite3_errstr(rc);
            return WorkStatus(rc);
        }
        return S_OKAY;
    } catch (const std::bad_alloc&) {
        f.error = "out of memory";
        return S_NOMEMORY;
    }
}

int CDbFile::CheckStorage(bool quick, std::vector<std::string>* findings) {
    Impl& f = *m_impl;
    if (f.db == nullptr)
        return S_DBOPEN;
    if (findings == nullptr)
        return S_BADPARAM;
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(
        f.db, quick ? "PRAGMA quick_check(100)" : "PRAGMA integrity_check(100)", -1, &st, nullptr);
    if (rc != SQLITE_OK) {
        f.Fail(sqlite3_extended_errcode(f.db));
        return WorkStatus(sqlite3_extended_errcode(f.db));
    }
    try {
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(st, 0);
            const std::string line = text != nullptr ? reinterpret_cast<const char*>(text) : "";
            if (line != "ok")
                findings->push_back(line);
        }
    } catch (const std::bad_alloc&) {
        sqlite3_finalize(st);
        f.error = "out of memory";
        return S_NOMEMORY;
    }
    const int ext = sqlite3_extended_errcode(f.db);
    if (rc != SQLITE_DONE)
        f.Fail(ext);
    sqlite3_finalize(st);
    return rc == SQLITE_DONE ? S_OKAY : WorkStatus(ext);
}

int CDbFile::RebuildIndexes() {
    Impl& f = *m_impl;
    if (f.db == nullptr)
        return S_DBOPEN;
    const int rc = f.Exec("REINDEX");
    return rc == SQLITE_OK ? S_OKAY : WorkStatus(rc);
}

const char* CDbFile::LastError() const {
    return m_impl->error.c_str();
}

void CDbFile::RemoveJournals(const char* path) {
    if (path == nullptr)
        return;
    for (const char* suffix : {"-journal", "-wal", "-shm"})
        std::remove((std::string(path) + suffix).c_str());
}

void CDbFile::SettleJournals(const char* path) {
    if (path == nullptr)
        return;
    const std::string p = path;
    if (!Exists(p + "-wal") && !Exists(p + "-journal"))
        return;
    // Reading the schema rolls a hot journal back; the checkpoint moves a log in.
    CDbFile file;
    if (file.Open(path, true) == S_OKAY)
        file.m_impl->Exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

}  // namespace qn::dbms
