// The catalog utilities beside their peers, on one 200 MB catalog:
//   backup:  UTBackUp against the sqlite3 shell's ".backup" of the same file;
//   check:   UTCheckFix of a sound catalog against SQLite's "PRAGMA integrity_check" alone.
// Prints the ratios at the end (peer time / our time: 1.0 is as fast as the peer).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "catdbms/dbms.h"
#include "catdbu.h"
#include "ratioreporter.h"
#include "testsupport.h"

namespace {

constexpr long long kCatalogBytes = 200LL * 1024 * 1024;

qn::test::TempDir& Dir() {
    static qn::test::TempDir dir;
    return dir;
}

std::string CatalogPath() {
    return Dir().file("catalog.vfc");
}
std::string BackupDir() {
    return Dir().file("backup");
}

// A catalog as the engine makes it, filled with records until it is 200 MB.
const std::string& Catalog() {
    static const std::string strPath = [] {
        const std::string strCatalog = CatalogPath();
        qn::dbms::CDbTask::CreateCatalog(strCatalog.c_str());
        sqlite3* pDb = nullptr;
        sqlite3_open(strCatalog.c_str(), &pDb);
        sqlite3_exec(
            pDb,
            "PRAGMA journal_mode=WAL;"
            "CREATE TABLE IF NOT EXISTS db_boardrec(slot INTEGER PRIMARY KEY);"
            "CREATE TABLE bench_notes(slot INTEGER PRIMARY KEY, name TEXT, note BLOB);"
            "CREATE INDEX bench_notes_name ON bench_notes(name);"
            "BEGIN;"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200000)"
            " INSERT INTO bench_notes(name, note) SELECT 'note ' || i, randomblob(900) FROM n;"
            "COMMIT; PRAGMA wal_checkpoint(TRUNCATE);",
            nullptr, nullptr, nullptr);
        sqlite3_close(pDb);
        ::mkdir(BackupDir().c_str(), 0755);
        struct stat st {};
        ::stat(strCatalog.c_str(), &st);
        std::printf("catalog: %s, %.1f MB\n", strCatalog.c_str(), st.st_size / 1048576.0);
        return strCatalog;
    }();
    return strPath;
}

void BM_UTBackUp(benchmark::State& state) {
    const std::string& strCatalog = Catalog();
    for (auto _ : state) {
        if (UTBackUp(strCatalog.c_str(), BackupDir().c_str(), 1) != EXSM_SUCCESS) {
            state.SkipWithError("UTBackUp failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kCatalogBytes);
}
BENCHMARK(BM_UTBackUp)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_PeerSqliteShellBackup(benchmark::State& state) {
    const std::string& strCatalog = Catalog();
    const std::string strTarget = Dir().file("shell-backup.vfc");
    const std::string strCommand =
        "sqlite3 '" + strCatalog + "' \".backup '" + strTarget + "'\" > /dev/null";
    for (auto _ : state) {
        ::unlink(strTarget.c_str());
        if (std::system(strCommand.c_str()) != 0) {
            state.SkipWithError("sqlite3 .backup failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kCatalogBytes);
}
BENCHMARK(BM_PeerSqliteShellBackup)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_UTCheckFix(benchmark::State& state) {
    const std::string& strCatalog = Catalog();
    for (auto _ : state) {
        if (UTCheckFix(strCatalog.c_str(), 0, 1) != EXSM_SUCCESS) {
            state.SkipWithError("UTCheckFix found errors");
            break;
        }
    }
}
BENCHMARK(BM_UTCheckFix)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_PeerIntegrityCheck(benchmark::State& state) {
    const std::string& strCatalog = Catalog();
    for (auto _ : state) {
        sqlite3* pDb = nullptr;
        sqlite3_open_v2(strCatalog.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* pStmt = nullptr;
        sqlite3_prepare_v2(pDb, "PRAGMA integrity_check", -1, &pStmt, nullptr);
        const bool fOk =
            sqlite3_step(pStmt) == SQLITE_ROW &&
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(pStmt, 0))) == "ok";
        sqlite3_finalize(pStmt);
        sqlite3_close(pDb);
        if (!fOk) {
            state.SkipWithError("integrity_check found errors");
            break;
        }
    }
}
BENCHMARK(BM_PeerIntegrityCheck)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    qn::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const double tBackup = reporter.RealTime("BM_UTBackUp");
    const double tShell = reporter.RealTime("BM_PeerSqliteShellBackup");
    const double tCheck = reporter.RealTime("BM_UTCheckFix");
    const double tIntegrity = reporter.RealTime("BM_PeerIntegrityCheck");
    if (tBackup > 0 && tShell > 0) {
        std::printf("ratio: backup speed %.2f of the sqlite3 shell's .backup (goal >= 0.8)\n",
                    tShell / tBackup);
    }
    if (tCheck > 0 && tIntegrity > 0) {
        std::printf(
            "ratio: UTCheckFix takes %.2fx PRAGMA integrity_check alone (%.0f ms against %.0f "
            "ms)\n",
            tCheck / tIntegrity, tCheck, tIntegrity);
    }
    return 0;
}
