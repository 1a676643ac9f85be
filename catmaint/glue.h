// The administration glue: the three operations the maintenance program runs on a catalog.
//
// Backup, restore and the record-level check are done by the catalog utilities (catdbu.h); the
// check of the catalog's own structure by the catalog store, loaded at run time only for it
// and released right after. It is looked for as "libcatstore.so.2" (its soname) beside the
// program, then on the library path (an installed program's run path), then as the
// development link "libcatstore.so" in the same two places. Without a loadable catalog store,
// or one lacking DBBoardVerify, or when the exclusive connect fails, the structure check is
// skipped and a line says so and why (the paths tried, the missing export, the connect's
// status) in the catalog's log, the system log and LastStructureCheckNote.
//
// Each operation writes its 32-bit status through its last argument; the caller reads its low
// 16 bits as an EXSM_STATUS: 0 success, 14 corrupted, 15 repaired, 18 unavailable (in use),
// others unexpected.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Backs up the catalog to the backup file's folder.
void DBUBackup(const char* pszCatalog, const char* pszBackup, uint32_t* pStatus);
// Restores the backup file into the catalog's folder.
void DBURestore(const char* pszBackup, const char* pszCatalog, uint32_t* pStatus);
// Checks the catalog (records, then structure), repairing when fRepair is set.
void DBUVerify(const char* pszCatalog, bool fRepair, uint32_t* pStatus);

namespace qn::maint {

// The configuration file of a catalog or backup: the path without its extension, followed by
// ".ini". An extension is the part after the last "." of the file name when it has at most three
// characters; any other path gets ".ini" appended whole.
std::string ConfigurationPathOf(const std::string& strPath);
// The folder that backup and restore pass on: the path cut at its last '/', "." without one.
std::string DestinationDirectoryOf(const std::string& strPath);

// The "DBTuning" values of a configuration file.
struct DBTuning {
    int nLockMgr = 0;
    int nCheckDBIntegrity = 1;
    int nCheckSchemaIntegrity = 1;
};
DBTuning ReadDBTuning(const std::string& strConfigPath);

// Where the catalog store is loaded from. Empty (the default): the environment variable
// QUILLON_CATSTORE_LIBRARY when set, else the soname and then the development link, each beside
// the program and then on the library path. A path given here (or in the variable) is used
// alone.
void SetCatalogStoreLibrary(const std::string& strPath);
std::string CatalogStoreLibrary();
// The names the catalog store is looked for by, in order, for a program in strProgramDir.
std::vector<std::string> CatalogStoreCandidates(const std::string& strProgramDir);

// What the last structure verification did, for the log and the tests.
enum class StructureCheck { NotRun, NoLibrary, MissingExport, ConnectFailed, Ran };
StructureCheck LastStructureCheck();
// Why the last structure verification was skipped ("" when it ran or was not due).
std::string LastStructureCheckNote();

}  // namespace qn::maint
