#include "catdbms/store.h"
#include "catdbms/schemasql.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "catdbms/dbms.h"
#include "catdbms/testhooks.h"

namespace qn::dbms {

namespace {
std::atomic<uint64_t> g_pagesWritten{0};
bool g_autoincrementCatalogs = false;
}  // namespace

uint64_t testing::PagesWritten() {
    return g_pagesWritten.load(std::memory_order_relaxed);
}

void testing::CreateAutoincrementCatalogs(bool classic) {
    g_autoincrementCatalogs = classic;
}

// The write-ahead log's bound (kLogCheckpointPages). A commit that leaves more pages than this in
// the log moves them into the catalog file at once (without waiting for anyone), and a log that was
// moved in whole starts again from its beginning with its file cut back to the bound; the close of
// a task moves the log in and truncates it to nothing when no other connection is reading it. So
// the log holds at most the bound plus the last transaction, unless a reader keeps one snapshot
// across many commits (the pages it may still read cannot be moved in under it).
namespace {
int AfterLogCommit(void* store, sqlite3* db, const char* dbName, int pagesInLog) {
    static_cast<CStore*>(store)->CountWrites();
    if (pagesInLog >= kLogCheckpointPages)
        sqlite3_wal_checkpoint_v2(db, dbName, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return SQLITE_OK;
}
}  // namespace

// Moves the log into the catalog file and truncates it, without waiting for other connections
// (what they still read stays in the log until a later commit or close).
void CStore::TruncateLog() {
    if (m_db == nullptr || !m_boundedLog)
        return;
    ResetAll();
    sqlite3_busy_timeout(m_db, 0);
    sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_timeout(m_db, m_busyMs);
}

// Adds the pages the connection wrote since the last call to the process's count.
void CStore::CountWrites() {
    int current = 0, highest = 0;
    if (m_db != nullptr &&
        sqlite3_db_status(m_db, SQLITE_DBSTATUS_CACHE_WRITE, &current, &highest, 1) == SQLITE_OK)
        g_pagesWritten.fetch_add(uint64_t(current), std::memory_order_relaxed);
}

// Moves a finished file over path and makes the move durable (the folder is synced).
int ReplaceFile(const std::string& from, const std::string& path) {
    if (std::rename(from.c_str(), path.c_str()) != 0)
        return errno == ENOSPC ? S_NOSPACE : S_SYSERR;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return S_OKAY;
}

// ---- Open and close ----------------------------------------------------------------------------

CStore::~CStore() {
    Close();
}

int CStore::Status(int rc) const {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return S_OKAY;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return S_UNAVAIL;
        case SQLITE_FULL:
            return S_NOSPACE;
        case SQLITE_NOMEM:
            return S_NOMEMORY;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return S_READ;
        case SQLITE_CONSTRAINT:
            return (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY)
                       ? S_DUPLICATE
                       : S_SYSERR;
        case SQLITE_IOERR:
            switch (rc) {
                case SQLITE_IOERR_READ:
                case SQLITE_IOERR_SHORT_READ:
                    return S_READ;
                case SQLITE_IOERR_NOMEM:
                    return S_NOMEMORY;
                case SQLITE_IOERR_WRITE:
                case SQLITE_IOERR_FSYNC:
                case SQLITE_IOERR_DIR_FSYNC:
                case SQLITE_IOERR_TRUNCATE:
                    return S_WRITE;
                default:
                    return S_SYSERR;
            }
        case SQLITE_CANTOPEN:
            return S_NOFILE;
        case SQLITE_READONLY:
            return S_UNAVAIL;
        default:
            return S_SYSERR;
    }
}

int CStore::Exec(const char* sql) {
    ResetWalk();
    return Status(sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr));
}

void CStore::ResetStmt(sqlite3_stmt* st) {
    sqlite3_reset(st);
}

sqlite3_stmt* CStore::Compile(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v3(m_db, sql.c_str(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &st,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(st);
        return nullptr;
    }
    return st;
}

sqlite3_stmt* CStore::Prepare(const std::string& sql) {
    auto it = m_stmts.find(sql);
    if (it != m_stmts.end()) {
        sqlite3_reset(it->second);
        return it->second;
    }
    sqlite3_stmt* st = Compile(sql);
    if (st != nullptr)
        m_stmts.emplace(sql, st);
    return st;
}

sqlite3_stmt* CStore::Prepare(const char* constantSql) {
    auto it = m_byText.find(constantSql);
    if (it != m_byText.end()) {
        sqlite3_reset(it->second);
        return it->second;
    }
    sqlite3_stmt* st = Compile(constantSql);
    if (st != nullptr)
        m_byText.emplace(constantSql, st);
    return st;
}

void CStore::ResetAll() {
    for (auto& [sql, st] : m_stmts)
        sqlite3_reset(st);
    for (auto& [key, st] : m_byText)
        sqlite3_reset(st);
    for (auto& [key, st] : m_byId)
        sqlite3_reset(st);
    ResetWalk();
}

void CStore::ResetWalk() {
    for (Walk& w : m_walks) {
        if (w.live)
            sqlite3_reset(w.st);
        w.live = false;
    }
    if (m_recordWalk.live)
        sqlite3_reset(m_recordWalk.st);
    m_recordWalk.live = false;
}

int CStore::Create(const std::string& path, bool rollbackJournal) {
    // Build the new catalog beside the target, then move it into place, so a failure leaves the
    // old file alone.
    const std::string tmp = path + ".new";
    std::remove(tmp.c_str());
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(tmp.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    CStore helper;
    int status = S_OKAY;
    if (rc != SQLITE_OK) {
        status = rc == SQLITE_CANTOPEN ? S_BADPATH : helper.Status(rc);
    } else {
        sqlite3_extended_result_codes(db, 1);
        // Made in the journal mode of its opens: switching it there needs the file to itself,
        // and two first opens at once would refuse each other.
        std::string script = std::string("PRAGMA page_size=4096; PRAGMA journal_mode=") +
                             (rollbackJournal ? "DELETE" : "WAL") + "; BEGIN;";
        for (const std::string& s : CatalogSchemaSql(g_autoincrementCatalogs))
            script += s + ";";
        script += "COMMIT;";
        rc = sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            status = helper.Status(sqlite3_extended_errcode(db));
    }
    sqlite3_close_v2(db);
    if (status == S_OKAY) {
        // The new file's bytes reached the disk at its checkpoint; now the rename.
        status = ReplaceFile(tmp, path);
    }
    if (status != S_OKAY)
        std::remove(tmp.c_str());
    std::remove((tmp + "-journal").c_str());
    return status;
}

int CStore::Open(const std::string& path, bool rollbackJournal, int busyMs) {
    Close();
    // A task is used by one thread at a time: no per-call locking inside SQLite.
    int rc =
        sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        Close();
        return rc == SQLITE_CANTOPEN ? S_INVDB : Status(rc);
    }
    sqlite3_extended_result_codes(m_db, 1);
    m_path = path;
    if (sqlite3_db_readonly(m_db, "main") == 1) {
        Close();
        return S_UNAVAIL;
    }
    SetBusyTimeout(busyMs);
    int status = ValidateDictionary();
    if (status == S_OKAY) {
        // Only AUTOINCREMENT tables make SQLite create sqlite_sequence.
        sqlite3_stmt* st = nullptr;
        int rc2 = sqlite3_prepare_v2(
            m_db,
            "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='sqlite_sequence'", -1,
            &st, nullptr);
        if (rc2 == SQLITE_OK)
            rc2 = sqlite3_step(st);
        if (rc2 == SQLITE_ROW)
            m_ownSlots = sqlite3_column_int(st, 0) == 0;
        else
            status = Status(sqlite3_extended_errcode(m_db));
        sqlite3_finalize(st);
    }
    if (status == S_OKAY) {
        // WAL where it is safe; the rollback journal on network file systems. Commits are
        // durable in both: synchronous=FULL syncs the log (or journal and database) at commit.
        status = SetJournal(rollbackJournal);
        if (status == S_OKAY)
            status = Exec("PRAGMA synchronous=FULL");
        if (status == S_OKAY)
            status = Exec("PRAGMA foreign_keys=OFF");
        // Every operation inside a transaction runs in a savepoint, whose journal holds the
        // pages that one operation touched: kept in memory, a transaction of many operations
        // does not write each page to a temporary file again for every one of them.
        if (status == S_OKAY)
            status = Exec("PRAGMA temp_store=MEMORY");
        if (status == S_OKAY && !rollbackJournal) {
            status = Exec(("PRAGMA journal_size_limit=" + std::to_string(kLogSizeLimit)).c_str());
            sqlite3_wal_hook(m_db, &AfterLogCommit, this);
            m_boundedLog = status == S_OKAY;
            // A log left larger than its bound (its writers ended on a full disk) gives its
            // space back as soon as there is room to move it in.
            struct stat sb;
            if (status == S_OKAY && ::stat((path + "-wal").c_str(), &sb) == 0 &&
                sb.st_size > kLogSizeLimit)
                TruncateLog();
        }
    }
    if (status != S_OKAY)
        Close();
    return status;
}

int CStore::SetJournal(bool rollbackJournal) {
    // Only a change of mode writes to the file.
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "PRAGMA journal_mode", -1, &st, nullptr);
    std::string mode;
    if (rc == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0) != nullptr)
        mode = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    const char* want = rollbackJournal ? "delete" : "wal";
    if (mode == want)
        return S_OKAY;
    return Exec(rollbackJournal ? "PRAGMA journal_mode=DELETE" : "PRAGMA journal_mode=WAL");
}

int CStore::ValidateDictionary() {
    // Any read failure here means the file is not one of our catalogs (or is damaged); nothing
    // is written before the dictionary has been recognised.
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(m_db, "SELECT value FROM dbms_info WHERE key='version'", -1, &st,
                                nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(st);
        const int s = Status(sqlite3_extended_errcode(m_db));
        return s == S_NOMEMORY || s == S_UNAVAIL ? s : S_INVDB;
    }
    rc = sqlite3_step(st);
    const char* version =
        rc == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0)) : nullptr;
    bool ok = version != nullptr && std::strcmp(version, kDictionaryVersion) == 0;
    const bool older =
        version != nullptr && m_allowOlder && std::strcmp(version, kOlderDictionaryVersion) == 0;
    const int stepStatus =
        rc == SQLITE_ROW || rc == SQLITE_DONE ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
    sqlite3_finalize(st);
    if (stepStatus == S_UNAVAIL || stepStatus == S_NOMEMORY)
        return stepStatus;
    if (older) {
        // Its fields differ from ours; the open needs the board record's table to read the
        // catalog's version before anything is brought up to date.
        rc = sqlite3_prepare_v2(m_db,
                                "SELECT count(*) FROM sqlite_master WHERE type='table' AND "
                                "name='db_boardrec'",
                                -1, &st, nullptr);
        ok = rc == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) == 1;
        sqlite3_finalize(st);
        m_olderDictionary = ok;
        return ok ? S_OKAY : S_INVDB;
    }
    if (!ok)
        return S_INVDB;
    // The stored dictionary must be the one this engine was built with.
    rc = sqlite3_prepare_v2(
        m_db, "SELECT code, name, record, offset, size, count FROM dbms_fields ORDER BY code", -1,
        &st, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(st);
        return S_INVDB;
    }
    int i = 0;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW && ok) {
        if (i >= kFieldCount) {
            ok = false;
            break;
        }
        const FieldDef& f = kFields[i++];
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        ok = sqlite3_column_int(st, 0) == f.code && name != nullptr &&
             std::strcmp(name, f.name) == 0 && sqlite3_column_int(st, 2) == f.record &&
             sqlite3_column_int(st, 3) == f.offset && sqlite3_column_int(st, 4) == f.size &&
             sqlite3_column_int(st, 5) == f.count;
    }
    if (rc != SQLITE_DONE && rc != SQLITE_ROW)
        ok = false;
    sqlite3_finalize(st);
    if (!ok || i != kFieldCount)
        return S_INVDB;
    // Every table the engine uses must be there.
    for (const RecordDef& r : kRecords) {
        std::string sql = "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='" +
                          RecordTable(r.code) + "'";
        rc = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr);
        ok = rc == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) == 1;
        sqlite3_finalize(st);
        if (!ok)
            return S_INVDB;
    }
    return S_OKAY;
}

void CStore::Close() {
    m_stmts.clear();
    m_byText.clear();
    m_byId.clear();
    for (Walk& w : m_walks)
        w = Walk();
    if (m_db != nullptr) {
        if (m_txn == Txn::None && sqlite3_get_autocommit(m_db))
            TruncateLog();
        CountWrites();
        // Every statement of the connection, cached or not, so that the close is complete.
        while (sqlite3_stmt* st = sqlite3_next_stmt(m_db, nullptr))
            sqlite3_finalize(st);
        sqlite3_close_v2(m_db);
    }
    m_db = nullptr;
    m_boundedLog = false;
    m_olderDictionary = false;
    m_ownSlots = false;
    m_txn = Txn::None;
    m_savepoints = 0;
}

void CStore::SetBusyTimeout(int ms) {
    m_busyMs = ms < 0 ? 0 : ms;
    if (m_db != nullptr)
        sqlite3_busy_timeout(m_db, m_busyMs);
}

int CStore::SetCachePages(int pages) {
    // The count is the engine's tuning figure, made for a cache of a few records per page. Below
    // a few megabytes SQLite's page cache spills a larger transaction to the log and reads it
    // back page by page, so the figure is a floor, never a ceiling.
    constexpr int kMinPages = 2048;
    return Exec(
        ("PRAGMA cache_size=" + std::to_string(pages < kMinPages ? kMinPages : pages)).c_str());
}

int CStore::SetSizeLimit(uint64_t bytes) {
    uint64_t pages = bytes == 0 ? 1073741823ull : (bytes + 4095) / 4096;
    if (pages < 1)
        pages = 1;
    sqlite3_stmt* st = nullptr;
    std::string sql = "PRAGMA max_page_count=" + std::to_string(pages);
    int rc = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr);
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        }
    }
    sqlite3_finalize(st);
    return rc == SQLITE_DONE ? S_OKAY : Status(rc);
}

// ---- Transactions ------------------------------------------------------------------------------

int CStore::BeginRead() {
    if (m_txn != Txn::None)
        return S_OKAY;
    int status = Exec("BEGIN");
    if (status != S_OKAY)
        return status;
    // Take the snapshot now, while the caller's locks are held.
    sqlite3_stmt* st = Prepare("SELECT value FROM dbms_info WHERE key='stamp'");
    int rc = st ? sqlite3_step(st) : SQLITE_NOMEM;
    if (st)
        sqlite3_reset(st);
    if (rc != SQLITE_ROW) {
        Exec("ROLLBACK");
        return Status(rc == SQLITE_DONE ? SQLITE_CORRUPT : sqlite3_extended_errcode(m_db));
    }
    m_txn = Txn::Read;
    return S_OKAY;
}

int CStore::BeginWrite() {
    if (m_txn == Txn::Write)
        return S_OKAY;
    if (m_txn == Txn::Read) {
        int status = Commit();
        if (status != S_OKAY)
            return status;
    }
    int status = Exec("BEGIN IMMEDIATE");
    if (status != S_OKAY)
        return status;
    m_txn = Txn::Write;
    return S_OKAY;
}

int CStore::Commit() {
    ResetWalk();
    if (m_txn == Txn::None)
        return S_OKAY;
    int rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        const int status = Status(sqlite3_extended_errcode(m_db));
        Rollback();
        return status;
    }
    m_txn = Txn::None;
    m_savepoints = 0;
    CountWrites();
    return S_OKAY;
}

void CStore::Rollback() {
    if (m_txn != Txn::None || !sqlite3_get_autocommit(m_db)) {
        // Statements still stepping would keep the rollback from running.
        ResetAll();
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    m_txn = Txn::None;
    m_savepoints = 0;
}

bool CStore::TransactionLost() {
    if (m_txn == Txn::None || m_db == nullptr || !sqlite3_get_autocommit(m_db))
        return false;
    m_txn = Txn::None;
    m_savepoints = 0;
    return true;
}

// Every operation inside a transaction opens and releases one: prepared once, not parsed each
// time.
int CStore::RunConstant(const char* constantSql) {
    ResetWalk();
    sqlite3_stmt* st = Prepare(constantSql);
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
}

int CStore::Savepoint() {
    int status = RunConstant("SAVEPOINT op");
    if (status == S_OKAY)
        ++m_savepoints;
    return status;
}

int CStore::ReleaseSavepoint() {
    int status = RunConstant("RELEASE op");
    if (status == S_OKAY)
        --m_savepoints;
    return status;
}

void CStore::RollbackSavepoint() {
    ResetAll();
    sqlite3_exec(m_db, "ROLLBACK TO op", nullptr, nullptr, nullptr);
    sqlite3_exec(m_db, "RELEASE op", nullptr, nullptr, nullptr);
    --m_savepoints;
}

// ---- Records -----------------------------------------------------------------------------------

int CStore::NextStamp(uint32_t* stamp) {
    sqlite3_stmt* st = Prepare(
        "UPDATE dbms_info SET value=(value+1) & 4294967295 WHERE key='stamp' RETURNING value");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) {
        sqlite3_reset(st);
        return Status(rc == SQLITE_DONE ? SQLITE_CORRUPT : sqlite3_extended_errcode(m_db));
    }
    *stamp = uint32_t(sqlite3_column_int64(st, 0));
    while (sqlite3_step(st) == SQLITE_ROW) {
    }
    rc = sqlite3_reset(st);
    return rc == SQLITE_OK ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
}

namespace {

// Per record type, per column: true when an index of a unique or duplicate key covers it.
const std::vector<bool>& IndexedColumns(int recordCode) {
    static const std::vector<std::vector<bool>> all = [] {
        std::vector<std::vector<bool>> v(kRecordCount);
        for (const RecordDef& r : kRecords) {
            const std::vector<Column>& cols = Columns(r.code);
            std::vector<bool>& indexed = v[size_t(r.code - kRecordBase)];
            indexed.assign(cols.size(), false);
            for (const FieldDef& k : kFields) {
                if (k.record != r.code || (k.key != KeyKind::UNIQUE && k.key != KeyKind::DUPKEY))
                    continue;
                for (const FieldDef* part : KeyComponents(k))
                    for (size_t i = 0; i < cols.size(); ++i)
                        if (cols[i].field == part)
                            indexed[i] = true;
            }
        }
        return v;
    }();
    return all[size_t(recordCode - kRecordBase)];
}

// True when some indexed column of the record differs between the two buffers.
bool IndexedColumnsDiffer(int recordCode, const void* a, const void* b) {
    const std::vector<Column>& cols = Columns(recordCode);
    const std::vector<bool>& indexed = IndexedColumns(recordCode);
    const uint8_t* pa = static_cast<const uint8_t*>(a);
    const uint8_t* pb = static_cast<const uint8_t*>(b);
    for (size_t i = 0; i < cols.size(); ++i) {
        const FieldDef& f = *cols[i].field;
        if (indexed[i] && std::memcmp(pa + f.offset, pb + f.offset, f.size) != 0)
            return true;
    }
    return false;
}

}  // namespace

std::string CStore::LastSlotKey(const std::string& table) {
    return "lastslot:" + table;
}

int CStore::BindRecord(sqlite3_stmt* st, int first, int recordCode, const void* buffer,
                       bool keyed) {
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    const std::vector<bool>& indexed = IndexedColumns(recordCode);
    int i = first;
    size_t n = 0;
    for (const Column& c : Columns(recordCode)) {
        if (!keyed && indexed[n++])
            continue;
        const FieldDef& f = *c.field;
        int rc;
        if (c.blob || f.kind == FieldKind::BYTES) {
            rc = sqlite3_bind_blob(st, i, p + f.offset, f.size, SQLITE_STATIC);
        } else if (f.kind == FieldKind::STR) {
            const char* s = reinterpret_cast<const char*>(p + f.offset);
            rc = sqlite3_bind_text(st, i, s, int(strnlen(s, f.size)), SQLITE_STATIC);
        } else {
            rc = sqlite3_bind_int64(st, i, ReadScalar(f, p + f.offset));
        }
        if (rc != SQLITE_OK)
            return Status(rc);
        ++i;
    }
    return S_OKAY;
}

void CStore::ColumnsToRecord(sqlite3_stmt* st, int first, int recordCode, void* buffer) {
    uint8_t* p = static_cast<uint8_t*>(buffer);
    int i = first;
    for (const Column& c : Columns(recordCode)) {
        const FieldDef& f = *c.field;
        if (c.blob || f.kind == FieldKind::BYTES || f.kind == FieldKind::STR) {
            std::memset(p + f.offset, 0, f.size);
            const void* data = f.kind == FieldKind::STR && !c.blob
                                   ? static_cast<const void*>(sqlite3_column_text(st, i))
                                   : sqlite3_column_blob(st, i);
            const int n = sqlite3_column_bytes(st, i);
            if (data != nullptr && n > 0)
                std::memcpy(p + f.offset, data, std::min<size_t>(size_t(n), f.size));
        } else {
            WriteScalar(f, sqlite3_column_int64(st, i), p + f.offset);
        }
        ++i;
    }
}

int CStore::Insert(int recordCode, const void* buffer, DBA* dba) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    const RecordDef* r = FindRecord(recordCode);
    uint32_t stamp = 0;
    if (r->stamped) {
        int status = NextStamp(&stamp);
        if (status != S_OKAY)
            return status;
    }
    sqlite3_stmt* st = PrepareId(StmtId(kInsertStmt, recordCode - kRecordBase), [&] {
        const std::string table = RecordTable(recordCode);
        std::string cols = "stamp", vals = "?1";
        int i = 2;
        for (const Column& c : Columns(recordCode)) {
            cols += ", " + Quote(Lower(c.field->name));
            vals += ", ?" + std::to_string(i++);
        }
        if (m_ownSlots) {
            // Above every slot present and every slot a delete took from the top.
            cols = "slot, " + cols;
            vals = "max(ifnull((SELECT max(slot) FROM " + table +
                   "), 0), ifnull((SELECT value FROM dbms_info WHERE key='" + LastSlotKey(table) +
                   "'), 0)) + 1, " + vals;
        }
        return "INSERT INTO " + table + "(" + cols + ") VALUES(" + vals + ")";
    });
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int64(st, 1, stamp);
    int status = BindRecord(st, 2, recordCode, buffer);
    if (status != S_OKAY)
        return status;
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));
    const int64_t slot = sqlite3_last_insert_rowid(m_db);
    if (slot <= 0 || slot > 0x00FFFFFF) {
        sqlite3_stmt* d = Prepare("DELETE FROM " + RecordTable(recordCode) + " WHERE slot=?1");
        if (d != nullptr) {
            sqlite3_bind_int64(d, 1, slot);
            sqlite3_step(d);
            sqlite3_reset(d);
        }
        return S_RECLIMIT;
    }
    *dba = MakeDba(recordCode, uint32_t(slot));
    return S_OKAY;
}

int CStore::Read(DBA dba, void* buffer, uint32_t* stamp) {
    const int recordCode = DbaRecord(dba);
    sqlite3_stmt* st = PrepareId(StmtId(kReadStmt, recordCode - kRecordBase), [&] {
        std::string cols = "stamp";
        for (const Column& c : Columns(recordCode))
            cols += ", " + Quote(Lower(c.field->name));
        return "SELECT " + cols + " FROM " + RecordTable(recordCode) + " WHERE slot=?1";
    });
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int64(st, 1, DbaSlot(dba));
    int rc = sqlite3_step(st);
    int status = S_OKAY;
    if (rc == SQLITE_ROW) {
        if (stamp != nullptr)
            *stamp = uint32_t(sqlite3_column_int64(st, 0));
        if (buffer != nullptr)
            ColumnsToRecord(st, 1, recordCode, buffer);
    } else if (rc == SQLITE_DONE) {
        status = S_DELETED;
    } else {
        status = Status(sqlite3_extended_errcode(m_db));
    }
    sqlite3_reset(st);
    return status;
}

int CStore::Exists(DBA dba) {
    const int recordCode = DbaRecord(dba);
    sqlite3_stmt* st = PrepareId(StmtId(kExistsStmt, recordCode - kRecordBase), [&] {
        return "SELECT 1 FROM " + RecordTable(recordCode) + " WHERE slot=?1";
    });
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int64(st, 1, DbaSlot(dba));
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc == SQLITE_ROW)
        return S_OKAY;
    return rc == SQLITE_DONE ? S_DELETED : Status(sqlite3_extended_errcode(m_db));
}

int CStore::GetStamp(DBA dba, uint32_t* stamp) {
    const int recordCode = DbaRecord(dba);
    sqlite3_stmt* st = PrepareId(StmtId(kStampStmt, recordCode - kRecordBase), [&] {
        return "SELECT stamp FROM " + RecordTable(recordCode) + " WHERE slot=?1";
    });
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int64(st, 1, DbaSlot(dba));
    int rc = sqlite3_step(st);
    int status = S_OKAY;
    if (rc == SQLITE_ROW) {
        *stamp = uint32_t(sqlite3_column_int64(st, 0));
    } else if (rc == SQLITE_DONE) {
        status = S_DELETED;
    } else {
        status = Status(sqlite3_extended_errcode(m_db));
    }
    sqlite3_reset(st);
    return status;
}

int CStore::Update(DBA dba, const void* buffer, const void* before) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    const int recordCode = DbaRecord(dba);
    const RecordDef* r = FindRecord(recordCode);
    uint32_t stamp = 0;
    if (r->stamped) {
        int status = NextStamp(&stamp);
        if (status != S_OKAY)
            return status;
    }
    // SQLite writes the index entries of every column a statement sets, changed or not: a write
    // that leaves the keys as they were sets the other columns only.
    const bool keyed = before == nullptr || IndexedColumnsDiffer(recordCode, before, buffer);
    sqlite3_stmt* st =
        PrepareId(StmtId(keyed ? kUpdateStmt : kUpdateUnkeyedStmt, recordCode - kRecordBase), [&] {
            const std::vector<bool>& indexed = IndexedColumns(recordCode);
            std::string sets = "stamp=?1";
            int i = 2;
            size_t n = 0;
            for (const Column& c : Columns(recordCode)) {
                if (!keyed && indexed[n++])
                    continue;
                sets += ", " + Quote(Lower(c.field->name)) + "=?" + std::to_string(i++);
            }
            return "UPDATE " + RecordTable(recordCode) + " SET " + sets + " WHERE slot=?" +
                   std::to_string(i);
        });
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int64(st, 1, stamp);
    int status = BindRecord(st, 2, recordCode, buffer, keyed);
    if (status != S_OKAY)
        return status;
    sqlite3_bind_int64(st, sqlite3_bind_parameter_count(st), DbaSlot(dba));
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));
    return sqlite3_changes(m_db) == 1 ? S_OKAY : S_DELETED;
}

int CStore::Remove(DBA dba) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    const int recordCode = DbaRecord(dba);
    sqlite3_stmt* st = Prepare("DELETE FROM " + RecordTable(recordCode) + " WHERE slot=?1");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int64(st, 1, DbaSlot(dba));
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));
    if (sqlite3_changes(m_db) != 1)
        return S_DELETED;
    if (m_ownSlots) {
        // A delete of the highest slot keeps it from being given again.
        sqlite3_stmt* top = PrepareId(StmtId(kLastSlotStmt, recordCode - kRecordBase), [&] {
            const std::string table = RecordTable(recordCode);
            return "INSERT INTO dbms_info(key, value) SELECT '" + LastSlotKey(table) +
                   "', ?1 WHERE ?1 > ifnull((SELECT max(slot) FROM " + table +
                   "), 0) ON CONFLICT(key) DO UPDATE SET value=max(value, excluded.value)";
        });
        if (top == nullptr)
            return Status(sqlite3_extended_errcode(m_db));
        sqlite3_bind_int64(top, 1, DbaSlot(dba));
        rc = sqlite3_step(top);
        sqlite3_reset(top);
        if (rc != SQLITE_DONE)
            return Status(sqlite3_extended_errcode(m_db));
    }
    for (const FieldDef& f : kFields) {
        if (f.record == recordCode && f.key == KeyKind::OPTKEY) {
            int status = OptKeyDelete(f, dba);
            if (status != S_OKAY && status != S_NOTFOUND)
                return status;
        }
    }
    sqlite3_stmt* o = Prepare("DELETE FROM dbms_owner WHERE setcode=?1 AND owner=?2");
    if (o == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    for (const SetDef& s : kSets) {
        if (s.owner != recordCode)
            continue;
        sqlite3_bind_int(o, 1, s.code);
        sqlite3_bind_int64(o, 2, dba);
        rc = sqlite3_step(o);
        sqlite3_reset(o);
        if (rc != SQLITE_DONE)
            return Status(sqlite3_extended_errcode(m_db));
    }
    return S_OKAY;
}

int CStore::Scan(int recordCode, uint32_t from, bool forward, uint32_t* slot) {
    sqlite3_stmt* st = PrepareId(
        StmtId(forward ? kScanForwardStmt : kScanBackStmt, recordCode - kRecordBase), [&] {
            const std::string table = RecordTable(recordCode);
            return forward
                       ? "SELECT slot FROM " + table + " WHERE slot>?1 ORDER BY slot LIMIT 1"
                       : "SELECT slot FROM " + table + " WHERE slot<?1 ORDER BY slot DESC LIMIT 1";
        });
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int64(st, 1, from);
    int rc = sqlite3_step(st);
    int status = S_OKAY;
    if (rc == SQLITE_ROW)
        *slot = uint32_t(sqlite3_column_int64(st, 0));
    else
        status = rc == SQLITE_DONE ? S_NOTFOUND : Status(sqlite3_extended_errcode(m_db));
    sqlite3_reset(st);
    return status;
}

int CStore::ScanRead(int recordCode, uint32_t from, uint32_t* slot, void* buffer, uint32_t* stamp) {
    RecordWalk& w = m_recordWalk;
    if (!w.live || w.recordCode != recordCode || w.slot != from) {
        if (w.live)
            sqlite3_reset(w.st);
        w.live = false;
        sqlite3_stmt* st = PrepareId(StmtId(kScanReadStmt, recordCode - kRecordBase), [&] {
            std::string cols = "slot, stamp";
            for (const Column& c : Columns(recordCode))
                cols += ", " + Quote(Lower(c.field->name));
            return "SELECT " + cols + " FROM " + RecordTable(recordCode) +
                   " WHERE slot>?1 ORDER BY slot";
        });
        if (st == nullptr)
            return Status(sqlite3_extended_errcode(m_db));
        sqlite3_bind_int64(st, 1, from);
        w.st = st;
        w.recordCode = recordCode;
    }
    const int rc = sqlite3_step(w.st);
    if (rc != SQLITE_ROW) {
        sqlite3_reset(w.st);
        w.live = false;
        return rc == SQLITE_DONE ? S_NOTFOUND : Status(sqlite3_extended_errcode(m_db));
    }
    w.slot = uint32_t(sqlite3_column_int64(w.st, 0));
    w.live = true;
    *slot = w.slot;
    if (stamp != nullptr)
        *stamp = uint32_t(sqlite3_column_int64(w.st, 1));
    if (buffer != nullptr)
        ColumnsToRecord(w.st, 2, recordCode, buffer);
    return S_OKAY;
}

int CStore::Count(int recordCode, uint32_t* count) {
    sqlite3_stmt* st = Prepare("SELECT count(*) FROM " + RecordTable(recordCode));
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    int rc = sqlite3_step(st);
    int status = S_OKAY;
    if (rc == SQLITE_ROW)
        *count = uint32_t(sqlite3_column_int64(st, 0));
    else
        status = Status(sqlite3_extended_errcode(m_db));
    sqlite3_reset(st);
    return status;
}

int CStore::Clear() {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    std::string script;
    for (const RecordDef& r : kRecords)
        script += "DELETE FROM " + RecordTable(r.code) + ";";
    for (const FieldDef& f : kFields)
        if (f.key == KeyKind::OPTKEY)
            script += "DELETE FROM " + KeyTable(f) + ";";
    script += "DELETE FROM dbms_member; DELETE FROM dbms_owner;";
    script += m_ownSlots ? "DELETE FROM dbms_info WHERE key LIKE 'lastslot:%';"
                         : "DELETE FROM sqlite_sequence;";
    script +=
        "UPDATE dbms_info SET value=0 WHERE key='stamp'; INSERT INTO db_system(stamp) VALUES(0);";
    return Exec(script.c_str());
}

// ---- Keys --------------------------------------------------------------------------------------

namespace {
void BindKey(sqlite3_stmt* st, int first, const KeyValue& kv) {
    int i = first;
    for (const KeyPart& p : kv) {
        if (p.text)
            sqlite3_bind_text(st, i, p.bytes.data(), int(p.bytes.size()), SQLITE_TRANSIENT);
        else
            sqlite3_bind_int64(st, i, p.number);
        ++i;
    }
}
KeyValue ColumnsToKey(sqlite3_stmt* st, int first, size_t n) {
    KeyValue kv(n);
    for (size_t k = 0; k < n; ++k) {
        const int i = first + int(k);
        if (sqlite3_column_type(st, i) == SQLITE_TEXT ||
            sqlite3_column_type(st, i) == SQLITE_BLOB) {
            kv[k].text = true;
            const void* p = sqlite3_column_blob(st, i);
            kv[k].bytes.assign(static_cast<const char*>(p), size_t(sqlite3_column_bytes(st, i)));
        } else {
            kv[k].number = sqlite3_column_int64(st, i);
        }
    }
    return kv;
}
}  // namespace

int CStore::KeySeek(const FieldDef& key, Seek mode, const KeyValue& kv, DBA dba, DBA* out,
                    KeyValue* outKey) {
    // A step after (or before) an entry looks among the entries of the same value first, then
    // beyond the value: each of the two is one index seek. One comparison of the whole row
    // (value, address) would let SQLite seek by the value alone and pass over every entry of
    // an equal value one by one, which makes walking many equal values quadratic.
    if (mode == Seek::After || mode == Seek::Before) {
        const bool fAfter = mode == Seek::After;
        int status =
            KeySeekOnce(key, fAfter ? kSeekSameAfter : kSeekSameBefore, kv, dba, out, outKey);
        if (status != S_NOTFOUND)
            return status;
        return KeySeekOnce(key, fAfter ? kSeekBeyondAfter : kSeekBeyondBefore, kv, dba, out,
                           outKey);
    }
    return KeySeekOnce(key,
                       mode == Seek::Equal   ? kSeekEqual
                       : mode == Seek::First ? kSeekFirst
                                             : kSeekLast,
                       kv, dba, out, outKey);
}

int CStore::KeySeekOnce(const FieldDef& key, uint32_t variant, const KeyValue& kv, DBA dba,
                        DBA* out, KeyValue* outKey) {
    const bool optional = key.key == KeyKind::OPTKEY;
    const size_t ncols = KeyComponents(key).size();
    sqlite3_stmt* st = PrepareId(StmtId(kKeySeekStmt + variant, int(&key - kFields)), [&] {
        const std::vector<std::string> cols = KeyColumns(key);
        const std::string table = optional ? KeyTable(key) : RecordTable(key.record);
        const std::string addr = optional ? "dba" : "slot";
        const std::string colList = Join(cols, ", ");
        std::string params;
        for (size_t i = 0; i < cols.size(); ++i)
            params += (i ? ", ?" : "?") + std::to_string(i + 1);
        const std::string addrParam = "?" + std::to_string(cols.size() + 1);
        const std::string select = "SELECT " + addr + ", " + colList + " FROM " + table;
        const std::string equal = " WHERE (" + colList + ") = (" + params + ")";
        std::string asc, desc;
        for (const std::string& c : cols) {
            asc += c + ", ";
            desc += c + " DESC, ";
        }
        asc += addr;
        desc += addr + " DESC";
        switch (variant) {
            case kSeekEqual:
                // A unique key has at most one entry per value: no ordering needed.
                if (key.key == KeyKind::UNIQUE)
                    return select + equal;
                return select + equal + " ORDER BY " + asc + " LIMIT 1";
            case kSeekSameAfter:
                return select + equal + " AND " + addr + " > " + addrParam + " ORDER BY " + asc +
                       " LIMIT 1";
            case kSeekSameBefore:
                return select + equal + " AND " + addr + " < " + addrParam + " ORDER BY " + desc +
                       " LIMIT 1";
            case kSeekBeyondAfter:
                return select + " WHERE (" + colList + ") > (" + params + ") ORDER BY " + asc +
                       " LIMIT 1";
            case kSeekBeyondBefore:
                return select + " WHERE (" + colList + ") < (" + params + ") ORDER BY " + desc +
                       " LIMIT 1";
            case kSeekFirst:
                return select + " ORDER BY " + asc + " LIMIT 1";
            default:
                return select + " ORDER BY " + desc + " LIMIT 1";
        }
    });
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    if (variant != kSeekFirst && variant != kSeekLast)
        BindKey(st, 1, kv);
    if (variant == kSeekSameAfter || variant == kSeekSameBefore)
        sqlite3_bind_int64(st, int(ncols) + 1, optional ? int64_t(dba) : int64_t(DbaSlot(dba)));
    int rc = sqlite3_step(st);
    int status = S_OKAY;
    if (rc == SQLITE_ROW) {
        const int64_t a = sqlite3_column_int64(st, 0);
        *out = optional ? DBA(a) : MakeDba(key.record, uint32_t(a));
        if (outKey != nullptr)
            *outKey = ColumnsToKey(st, 1, ncols);
    } else {
        status = rc == SQLITE_DONE ? S_NOTFOUND : Status(sqlite3_extended_errcode(m_db));
    }
    sqlite3_reset(st);
    return status;
}

int CStore::OptKeyStore(const FieldDef& key, const KeyValue& kv, DBA dba) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    const std::vector<std::string> cols = KeyColumns(key);
    std::string params;
    for (size_t i = 0; i < cols.size(); ++i)
        params += "?" + std::to_string(i + 1) + ", ";
    params += "?" + std::to_string(cols.size() + 1);
    int status = OptKeyExists(key, dba);
    if (status == S_OKAY)
        return OptKeyUpdate(key, kv, dba);
    if (status != S_NOTFOUND)
        return status;
    sqlite3_stmt* st = Prepare("INSERT INTO " + KeyTable(key) + "(" + Join(cols, ", ") +
                               ", dba) VALUES(" + params + ")");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    BindKey(st, 1, kv);
    sqlite3_bind_int64(st, int(cols.size()) + 1, dba);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
}

int CStore::OptKeyDelete(const FieldDef& key, DBA dba) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    sqlite3_stmt* st = Prepare("DELETE FROM " + KeyTable(key) + " WHERE dba=?1");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int64(st, 1, dba);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));
    return sqlite3_changes(m_db) > 0 ? S_OKAY : S_NOTFOUND;
}

int CStore::OptKeyExists(const FieldDef& key, DBA dba) {
    sqlite3_stmt* st = Prepare("SELECT 1 FROM " + KeyTable(key) + " WHERE dba=?1 LIMIT 1");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int64(st, 1, dba);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc == SQLITE_ROW)
        return S_OKAY;
    return rc == SQLITE_DONE ? S_NOTFOUND : Status(sqlite3_extended_errcode(m_db));
}

int CStore::OptKeyUpdate(const FieldDef& key, const KeyValue& kv, DBA dba) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    const std::vector<std::string> cols = KeyColumns(key);
    std::string sets;
    for (size_t i = 0; i < cols.size(); ++i)
        sets += (i ? ", " : "") + cols[i] + "=?" + std::to_string(i + 1);
    sqlite3_stmt* st = Prepare("UPDATE " + KeyTable(key) + " SET " + sets + " WHERE dba=?" +
                               std::to_string(cols.size() + 1));
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    BindKey(st, 1, kv);
    sqlite3_bind_int64(st, int(cols.size()) + 1, dba);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
}

// ---- Sets --------------------------------------------------------------------------------------

int CStore::MemberRow(int setCode, DBA member, DBA* owner, std::string* ord) {
    sqlite3_stmt* st = Prepare("SELECT owner, ord FROM dbms_member WHERE setcode=?1 AND member=?2");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    sqlite3_bind_int64(st, 2, member);
    int rc = sqlite3_step(st);
    int status = S_OKAY;
    if (rc == SQLITE_ROW) {
        if (owner)
            *owner = DBA(sqlite3_column_int64(st, 0));
        if (ord)
            ord->assign(static_cast<const char*>(sqlite3_column_blob(st, 1)),
                        size_t(sqlite3_column_bytes(st, 1)));
    } else {
        status = rc == SQLITE_DONE ? S_NOTFOUND : Status(sqlite3_extended_errcode(m_db));
    }
    sqlite3_reset(st);
    return status;
}

int CStore::MemberStep(int setCode, DBA owner, const std::string* ord, bool forward, DBA* member,
                       std::string* memberOrd) {
    Walk& w = m_walks[setCode - kSetBase];
    if (w.live)
        sqlite3_reset(w.st);
    w.live = false;
    // One statement per set, direction and start, so that walks of different sets run side by
    // side.
    const uint32_t variant =
        uint32_t(setCode - kSetBase) * 4 + (forward ? 0 : 1) + (ord != nullptr ? 2 : 0);
    sqlite3_stmt* st = PrepareId(StmtId(kWalkStmt, int(variant)), [&]() -> std::string {
        if (ord == nullptr)
            return forward ? "SELECT member, ord FROM dbms_member WHERE setcode=?1 AND owner=?2 "
                             "ORDER BY ord"
                           : "SELECT member, ord FROM dbms_member WHERE setcode=?1 AND owner=?2 "
                             "ORDER BY ord DESC";
        return forward ? "SELECT member, ord FROM dbms_member WHERE setcode=?1 AND owner=?2 AND "
                         "ord>?3 ORDER BY ord"
                       : "SELECT member, ord FROM dbms_member WHERE setcode=?1 AND owner=?2 AND "
                         "ord<?3 ORDER BY ord DESC";
    });
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    sqlite3_bind_int64(st, 2, owner);
    if (ord != nullptr)
        sqlite3_bind_blob(st, 3, ord->data(), int(ord->size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        *member = DBA(sqlite3_column_int64(st, 0));
        if (memberOrd)
            memberOrd->assign(static_cast<const char*>(sqlite3_column_blob(st, 1)),
                              size_t(sqlite3_column_bytes(st, 1)));
        w.st = st;
        w.owner = owner;
        w.member = *member;
        w.forward = forward;
        w.live = true;
        return S_OKAY;
    }
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? S_EOS : Status(sqlite3_extended_errcode(m_db));
}

int CStore::WalkNext(int setCode, DBA owner, DBA member, bool forward, DBA* next) {
    Walk& w = m_walks[setCode - kSetBase];
    if (!w.live || w.owner != owner || w.member != member || w.forward != forward)
        return S_NOTFOUND;
    const int rc = sqlite3_step(w.st);
    if (rc == SQLITE_ROW) {
        *next = DBA(sqlite3_column_int64(w.st, 0));
        w.member = *next;
        return S_OKAY;
    }
    sqlite3_reset(w.st);
    w.live = false;
    return rc == SQLITE_DONE ? S_EOS : Status(sqlite3_extended_errcode(m_db));
}

int CStore::MemberInsert(int setCode, DBA owner, DBA member, const std::string& ord) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    sqlite3_stmt* st =
        Prepare("INSERT INTO dbms_member(setcode, owner, member, ord) VALUES(?1, ?2, ?3, ?4)");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    sqlite3_bind_int64(st, 2, owner);
    sqlite3_bind_int64(st, 3, member);
    sqlite3_bind_blob(st, 4, ord.data(), int(ord.size()), SQLITE_STATIC);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));
    st = Prepare(
        "INSERT INTO dbms_owner(setcode, owner, members) VALUES(?1, ?2, 1) "
        "ON CONFLICT(setcode, owner) DO UPDATE SET members=members+1");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    sqlite3_bind_int64(st, 2, owner);
    rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
}

int CStore::MemberDelete(int setCode, DBA owner, DBA member) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    sqlite3_stmt* st = Prepare("DELETE FROM dbms_member WHERE setcode=?1 AND member=?2");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    sqlite3_bind_int64(st, 2, member);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));
    if (sqlite3_changes(m_db) != 1)
        return S_NOTCON;
    st = Prepare("UPDATE dbms_owner SET members=members-1 WHERE setcode=?1 AND owner=?2");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    sqlite3_bind_int64(st, 2, owner);
    rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return Status(sqlite3_extended_errcode(m_db));
    st = Prepare("DELETE FROM dbms_owner WHERE setcode=?1 AND owner=?2 AND members<=0");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    sqlite3_bind_int64(st, 2, owner);
    rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
}

int CStore::MemberSetOrd(int setCode, DBA member, const std::string& ord) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    sqlite3_stmt* st = Prepare("UPDATE dbms_member SET ord=?3 WHERE setcode=?1 AND member=?2");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    sqlite3_bind_int64(st, 2, member);
    sqlite3_bind_blob(st, 3, ord.data(), int(ord.size()), SQLITE_STATIC);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
}

int CStore::MemberList(int setCode, DBA owner, std::vector<std::pair<DBA, std::string>>* members) {
    members->clear();
    sqlite3_stmt* st =
        Prepare("SELECT member, ord FROM dbms_member WHERE setcode=?1 AND owner=?2 ORDER BY ord");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    sqlite3_bind_int64(st, 2, owner);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        members->emplace_back(DBA(sqlite3_column_int64(st, 0)),
                              std::string(static_cast<const char*>(sqlite3_column_blob(st, 1)),
                                          size_t(sqlite3_column_bytes(st, 1))));
    }
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
}

int CStore::MemberPairs(int setCode, std::vector<std::pair<DBA, DBA>>* pairs) {
    pairs->clear();
    ResetWalk();
    sqlite3_stmt* st =
        Prepare("SELECT owner, member FROM dbms_member WHERE setcode=?1 ORDER BY owner, ord");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        pairs->emplace_back(DBA(sqlite3_column_int64(st, 0)), DBA(sqlite3_column_int64(st, 1)));
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? S_OKAY : Status(sqlite3_extended_errcode(m_db));
}

int CStore::OwnerCount(int setCode, DBA owner, uint32_t* count) {
    sqlite3_stmt* st = Prepare("SELECT members FROM dbms_owner WHERE setcode=?1 AND owner=?2");
    if (st == nullptr)
        return Status(sqlite3_extended_errcode(m_db));
    sqlite3_bind_int(st, 1, setCode);
    sqlite3_bind_int64(st, 2, owner);
    int rc = sqlite3_step(st);
    int status = S_OKAY;
    if (rc == SQLITE_ROW)
        *count = uint32_t(sqlite3_column_int64(st, 0));
    else if (rc == SQLITE_DONE)
        *count = 0;
    else
        status = Status(sqlite3_extended_errcode(m_db));
    sqlite3_reset(st);
    return status;
}

// ---- Backup ------------------------------------------------------------------------------------

int CopyDatabase(sqlite3* source, const std::string& path, uint32_t pagesPerBatch,
                 CopyProgress progress, void* context, bool plainFile, bool* stopped) {
    *stopped = false;
    sqlite3* dest = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &dest,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(dest, 1);
        sqlite3_backup* b = sqlite3_backup_init(dest, "main", source, "main");
        if (b == nullptr) {
            rc = sqlite3_extended_errcode(dest);
        } else {
            const int batch = pagesPerBatch == 0 || pagesPerBatch > 0x7FFFFFFF
                                  ? -1
                                  : static_cast<int>(pagesPerBatch);
            // A writer of the destination (or a source whose log is being moved in) may keep a
            // batch out for a while: ten seconds of retries, as a busy wait would.
            int busyRetries = 0;
            for (;;) {
                rc = sqlite3_backup_step(b, batch);
                if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
                    if (++busyRetries > 200)
                        break;
                    sqlite3_sleep(50);
                    continue;
                }
                busyRetries = 0;
                if (rc != SQLITE_OK && rc != SQLITE_DONE)
                    break;
                if (progress != nullptr) {
                    const uint64_t total = uint64_t(sqlite3_backup_pagecount(b));
                    const uint64_t left = uint64_t(sqlite3_backup_remaining(b));
                    const bool go =
                        progress(rc == SQLITE_DONE ? total : total - left, total, context);
                    if (!go && rc != SQLITE_DONE) {
                        *stopped = true;
                        break;
                    }
                }
                if (rc == SQLITE_DONE)
                    break;
            }
            const int fin = sqlite3_backup_finish(b);
            if (rc == SQLITE_DONE)
                rc = fin;
        }
        // The copy keeps the source's header, so it would open in the source's journal mode.
        if (rc == SQLITE_OK && !*stopped && plainFile)
            rc = sqlite3_exec(dest, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    }
    sqlite3_close_v2(dest);
    std::remove((path + "-journal").c_str());
    return *stopped ? SQLITE_ABORT : rc;
}

int CStore::Backup(const std::string& path, CopyProgress progress, void* context) {
    ResetWalk();  // a write, or a walk of its own, ends any set walk
    const std::string tmp = path + ".new";
    std::remove(tmp.c_str());
    bool stopped = false;
    const int rc = CopyDatabase(m_db, tmp, progress != nullptr ? kBackupBatchPages : 0, progress,
                                context, false, &stopped);
    int status = stopped ? S_STOPPED : rc == SQLITE_CANTOPEN ? S_BADPATH : Status(rc);
    // Logs left by an earlier file at this path must not be replayed into the copy.
    if (status == S_OKAY)
        for (const char* suffix : {"-wal", "-shm", "-journal"})
            std::remove((path + suffix).c_str());
    if (status == S_OKAY)
        status = ReplaceFile(tmp, path);
    if (status != S_OKAY)
        std::remove(tmp.c_str());
    return status;
}

}  // namespace qn::dbms
