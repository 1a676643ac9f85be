#include "catalogs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "catdbms/dbms.h"
#include "testsupport.h"

namespace qn::test::catalogs {
namespace {

sqlite3* OpenDb(const std::string& strPath) {
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(strPath.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(pDb);
        throw std::runtime_error("cannot open " + strPath);
    }
    sqlite3_busy_timeout(pDb, 5000);
    return pDb;
}

void Exec(sqlite3* pDb, const std::string& strSql) {
    char* pszError = nullptr;
    if (sqlite3_exec(pDb, strSql.c_str(), nullptr, nullptr, &pszError) != SQLITE_OK) {
        const std::string strError = pszError != nullptr ? pszError : "?";
        sqlite3_free(pszError);
        throw std::runtime_error(strSql + ": " + strError);
    }
}

std::string Base(const std::string& strPath) {
    const size_t nDot = strPath.rfind('.');
    return nDot == std::string::npos ? strPath : strPath.substr(0, nDot);
}

}  // namespace

void MakeCatalog(const std::string& strPath, int nRecords) {
    // A catalog as the engine makes it, with a table of test records beside its own.
    const bool fEngine = qn::dbms::CDbTask::CreateCatalog(strPath.c_str()) == qn::dbms::S_OKAY;
    sqlite3* pDb = OpenDb(strPath);
    Exec(pDb, "PRAGMA journal_mode=WAL");
    if (!fEngine) {
        Exec(pDb,
             "CREATE TABLE db_boardrec(slot INTEGER PRIMARY KEY, boardversion INTEGER);"
             "INSERT INTO db_boardrec(boardversion) VALUES(12);");
    }
    Exec(pDb,
         "CREATE TABLE qn_test_notes(slot INTEGER PRIMARY KEY, stamp INTEGER, itemname TEXT,"
         " itemnote BLOB);"
         "CREATE INDEX qn_test_notes_name ON qn_test_notes(itemname);");
    sqlite3_close(pDb);
    AddRecords(strPath, nRecords, "item");
    WriteFile(Base(strPath) + ".ini",
              "[QNI Configuration File]\r\nWARNING=Automatically generated configuration file - "
              "Do not modify\r\n[DBTuning]\r\nLockMgr=1\r\n");
}

void AddRecords(const std::string& strPath, int nRecords, const std::string& strTag) {
    sqlite3* pDb = OpenDb(strPath);
    Exec(pDb, "BEGIN");
    for (int i = 0; i < nRecords; ++i) {
        char szSql[256];
        std::snprintf(szSql, sizeof szSql,
                      "INSERT INTO qn_test_notes(stamp, itemname, itemnote) VALUES(%d, '%s %05d',"
                      " randomblob(200))",
                      i, strTag.c_str(), i);
        Exec(pDb, szSql);
    }
    Exec(pDb, "COMMIT");
    sqlite3_close(pDb);
}

std::string Contents(const std::string& strPath) {
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(strPath.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(pDb);
        return "<cannot open>";
    }
    std::string strText;
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_prepare_v2(
            pDb, "SELECT slot, stamp, itemname, hex(itemnote) FROM qn_test_notes ORDER BY slot", -1,
            &pStmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(pStmt) == SQLITE_ROW) {
            for (int i = 0; i < 4; ++i) {
                const unsigned char* psz = sqlite3_column_text(pStmt, i);
                strText += psz != nullptr ? reinterpret_cast<const char*>(psz) : "";
                strText += i < 3 ? "|" : "\n";
            }
        }
    } else {
        strText = "<no records>";
    }
    sqlite3_finalize(pStmt);
    sqlite3_close(pDb);
    return strText;
}

std::string IntegrityOf(const std::string& strPath) {
    sqlite3* pDb = nullptr;
    std::string strResult = "<cannot open>";
    if (sqlite3_open_v2(strPath.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* pStmt = nullptr;
        if (sqlite3_prepare_v2(pDb, "PRAGMA integrity_check", -1, &pStmt, nullptr) == SQLITE_OK) {
            strResult.clear();
            while (sqlite3_step(pStmt) == SQLITE_ROW) {
                strResult += reinterpret_cast<const char*>(sqlite3_column_text(pStmt, 0));
            }
        }
        sqlite3_finalize(pStmt);
    }
    sqlite3_close(pDb);
    return strResult;
}

void DamageIndex(const std::string& strPath) {
    sqlite3* pDb = OpenDb(strPath);
    // The index now claims to cover another column than the one its entries were made from.
    Exec(pDb,
         "PRAGMA writable_schema=ON;"
         "UPDATE sqlite_master SET sql='CREATE INDEX qn_test_notes_name ON qn_test_notes(stamp)'"
         " WHERE name='qn_test_notes_name';"
         "PRAGMA writable_schema=OFF;");
    sqlite3_close(pDb);
}

void DamageRecords(const std::string& strPath) {
    // Fold the journal into the file, then overwrite leaf pages of the test record table.
    sqlite3* pDb = OpenDb(strPath);
    Exec(pDb, "PRAGMA wal_checkpoint(TRUNCATE)");
    std::vector<long long> pages;
    long long cbPage = 4096;
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_prepare_v2(pDb,
                           "SELECT pageno FROM dbstat WHERE name='qn_test_notes' AND "
                           "pagetype='leaf' ORDER BY pageno",
                           -1, &pStmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(pStmt) == SQLITE_ROW) {
            pages.push_back(sqlite3_column_int64(pStmt, 0));
        }
    }
    sqlite3_finalize(pStmt);
    if (sqlite3_prepare_v2(pDb, "PRAGMA page_size", -1, &pStmt, nullptr) == SQLITE_OK &&
        sqlite3_step(pStmt) == SQLITE_ROW) {
        cbPage = sqlite3_column_int64(pStmt, 0);
    }
    sqlite3_finalize(pStmt);
    sqlite3_close(pDb);
    if (pages.size() < 3) {
        throw std::runtime_error("too few record pages to damage in " + strPath);
    }
    const int fd = ::open(strPath.c_str(), O_RDWR);
    if (fd < 0) {
        throw std::runtime_error("cannot damage " + strPath);
    }
    const std::string strGarbage(static_cast<size_t>(cbPage), '\x5A');
    for (size_t i = pages.size() / 3; i < pages.size() / 3 + 2; ++i) {
        [[maybe_unused]] const ssize_t cb =
            ::pwrite(fd, strGarbage.data(), strGarbage.size(), (pages[i] - 1) * cbPage);
    }
    ::close(fd);
}

bool DamageEngineCounts(const std::string& strPath) {
    sqlite3* pDb = OpenDb(strPath);
    const bool fDamaged =
        sqlite3_exec(pDb,
                     "INSERT INTO dbms_owner(setcode, owner, members) VALUES(20000, 16777215, 3)",
                     nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(pDb);
    return fDamaged;
}

CCatalogHolder::CCatalogHolder(const std::string& strCatalogPath, const char* pszMode) {
    const bool fExclusive = pszMode != nullptr && pszMode[0] == 'x';
    int fdReady[2];
    int fdRelease[2];
    if (::pipe(fdReady) != 0 || ::pipe(fdRelease) != 0) {
        return;
    }
    const std::string strTaf = Base(strCatalogPath) + ".TAF";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fdReady[0]);
        ::close(fdRelease[1]);
        // Open the catalog as the engine does (shared), or, where the engine cannot open it,
        // hold the same shared open lock on its lock file.
        qn::dbms::CDbTask task;
        task.SetLockManager(qn::dbms::kTransportFile);
        char chReady = task.Open(strCatalogPath.c_str(), fExclusive ? "x" : "s") == qn::dbms::S_OKAY
                           ? 'y'
                           : 'n';
        sqlite3* pDb = nullptr;
        int fd = -1;
        if (chReady != 'y') {
            sqlite3_open_v2(strCatalogPath.c_str(), &pDb, SQLITE_OPEN_READWRITE, nullptr);
            sqlite3_exec(pDb, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
            fd = ::open(strTaf.c_str(), O_RDWR | O_CREAT, 0644);
            struct flock lock {};
            lock.l_type = fExclusive ? F_WRLCK : F_RDLCK;
            lock.l_whence = SEEK_SET;
            lock.l_start = 0;
            lock.l_len = 1;
            chReady = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 'y' : 'n';
        }
        [[maybe_unused]] ssize_t cb = ::write(fdReady[1], &chReady, 1);
        char ch;
        cb = ::read(fdRelease[0], &ch, 1);  // returns when the parent releases or dies
        task.Close();
        sqlite3_close(pDb);
        ::_exit(0);
    }
    ::close(fdReady[1]);
    ::close(fdRelease[0]);
    char chReady = 'n';
    struct pollfd poller {
        fdReady[0], POLLIN, 0
    };
    if (pid > 0 && ::poll(&poller, 1, 10000) == 1 && ::read(fdReady[0], &chReady, 1) == 1 &&
        chReady == 'y') {
        m_pid = pid;
        m_fdRelease = fdRelease[1];
    } else {
        ::close(fdRelease[1]);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    ::close(fdReady[0]);
}

CCatalogHolder::~CCatalogHolder() {
    Release();
}

void CCatalogHolder::Release() {
    if (m_pid > 0) {
        ::close(m_fdRelease);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        m_fdRelease = -1;
    }
}

}  // namespace qn::test::catalogs
