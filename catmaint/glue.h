// The administration glue: the three operations the maintenance program runs on a catalog.
//
// Backup, restore and the record-level check are done by the catalog utilities (catdbu.h); the
// check of the catalog's own structure by the catalog store, loaded at run time only for it
// ("libcatstore.so", looked for beside the program first, then on the library path) and
// released right after. Without a loadable catalog store, or one lacking DBBoardVerify, the
// structure check is skipped.
//
// Each operation writes its 32-bit status through its last argument; the caller reads its low
// 16 bits as an EXSM_STATUS: 0 success, 14 corrupted, 15 repaired, 18 unavailable (in use),
// others unexpected.
#pragma once

#include <cstdint>
#include <string>

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
// QUILLON_CATSTORE_LIBRARY when set, else "libcatstore.so" beside the program, then on the
// library path. A path given here (or in the variable) is used alone.
void SetCatalogStoreLibrary(const std::string& strPath);
std::string CatalogStoreLibrary();

// What the last structure verification did, for the log and the tests.
enum class StructureCheck { NotRun, NoLibrary, MissingExport, ConnectFailed, Ran };
StructureCheck LastStructureCheck();

}  // namespace qn::maint
