// Status codes of the catalog store and their texts.
//
// EXSM_STATUS (include/exsmstatus.h) is what every exported catalog operation reports. Below the
// exported interface the store works with the 16-bit database-layer status DBStatus (0 to 58),
// turned into an EXSM_STATUS by one fixed table that catstore and catmaint share.
#pragma once

#include <cstdint>
#include <string>

#include "exsmstatus.h"

// The database-layer status. Values never change: the mapping table, stored logs and callers
// rely on them. A value without a routine that produces it is named after the EXSM_STATUS it maps
// to (DBReserved...). A switch over DBStatus without a default lets the compiler find a value
// that is not handled.
enum DBStatus : uint16_t {
    DBSuccess = 0,
    DBReservedAlreadyOpen1 = 1,      // Catalog Already Open
    DBEngineAlreadyOpen = 2,         // the engine task has a catalog open already
    DBUserIDRejected = 3,            // the engine refused the lock-manager user id
    DBCatalogUnavailable = 4,        // held exclusively by another process
    DBCatalogMissing = 5,            // no catalog file at the path (Catalog Open Error)
    DBReservedOpenError6 = 6,        // Catalog Open Error
    DBReservedAlreadyExists7 = 7,    // Already Exists
    DBReservedDoesNotExist8 = 8,     // Does Not Exist
    DBClientAlreadyOpen = 9,         // this process already has a catalog open
    DBClientNotFound = 10,           // the client entry is not in the registry
    DBReservedInternal11 = 11,       // Internal Error
    DBUnexpectedRecordType = 12,     // the address holds a record of another type
    DBHolderRefreshFailed = 13,      // a record holder could not be read back after its create
    DBReservedInternal14 = 14,       // Internal Error
    DBSetScanEnded = 15,             // a set scan ended unexpectedly
    DBOutOfDiskSpace = 16,           // disk full, or a file could not be written
    DBDuplicate = 17,                // duplicate key on create or write
    DBEndOfResourceScan = 18,        // a resource scan ran out (success)
    DBFatalEngineError = 19,         // the engine reported a fatal I/O or storage error
    DBEndOfList = 20,                // a store cursor ran off the end of its walk
    DBGroupNotFound = 21,            // no such group
    DBReservedAlreadyExists22 = 22,  // Already Exists
    DBClientMissing = 23,            // no client entry at open
    DBReservedAlreadyExists24 = 24,  // Already Exists
    DBReservedAlreadyExists25 = 25,  // Already Exists
    DBFolderRequired = 26,           // the item is not a folder
    DBItemNotFound = 27,             // no such item or slot
    DBBadArgument = 28,              // an argument a routine cannot work with
    DBInvalidScanDirection = 29,     // a store cursor was asked for an unknown step
    DBReservedInternal30 = 30,       // Internal Error
    DBOutOfMemory = 31,              // memory exhausted
    DBStampNotFetched = 32,          // a record holder whose stamp is still to be fetched
    DBReservedLockError33 = 33,      // Lock Error
    DBRecordModified = 34,           // another process changed the record since it was read
    DBNotFound = 35,                 // no record with that key
    DBDeleted = 36,                  // the record was deleted
    DBLockRefused = 37,              // a lock did not come within the time-out
    DBReservedInternal38 = 38,       // Internal Error
    DBDuplicateMembership = 39,      // the user is a member of the group already
    DBMembershipNotFound = 40,       // the user is no member of the group
    DBUserNotFound = 41,             // no such user
    DBReservedInternal42 = 42,       // Internal Error
    DBReservedInternal43 = 43,       // Internal Error
    DBReservedOpenError44 = 44,      // Catalog Open Error
    DBInvalidLockManager = 45,       // the engine does not know the lock-manager transport
    DBLockManagerRefused = 46,       // the engine refused lock manager 1 as well
    DBInvalidCatalogFile = 47,       // not a catalog, or a version that cannot be opened
    DBNameTooLong = 48,              // a text longer than its field
    DBLockManagerNotFound = 49,      // the lock manager's file cannot be had
    DBEngineError = 50,              // any other engine error
    DBInvalidCatalogName = 51,       // a reserved extension or an empty name
    DBErrorsFound = 52,              // verification found errors and did not repair them
    DBErrorsRepaired = 53,           // verification found errors and repaired them
    DBUpgraded = 54,                 // the catalog was just upgraded (success)
    DBAlreadyReferenced = 55,        // the item already refers to the other
    DBNotReferenced = 56,            // the item does not refer to the other
    DBReservedDoesNotExist57 = 57,   // Does Not Exist
    DBShareNotLoaded = 58,           // the file system offers no file sharing
};
// Number of database-layer statuses; a value of NUM_DBERRORS or more is outside the table.
inline constexpr unsigned NUM_DBERRORS = 59;
// Number of EXSM_STATUS values that have a display text.
inline constexpr unsigned NUM_EXSM_TEXTS = EXSM_NUM_STATUS_TEXTS;

// The display text of a status, found by its low 16 bits ("Successful" for 0, "Lock Error" for
// 10, ...); nullptr when the low 16 bits exceed 30.
const char* QNStatusText(uint32_t status);

// The EXSM_STATUS that a database-layer status maps to. A value of NUM_DBERRORS or more is
// outside the table: it gives EXSM_INTERNAL_ERROR (and never reads past the table).
EXSM_STATUS QNMapDBStatusValue(unsigned dbStatus);

// Stores the mapped EXSM_STATUS of dbStatus into *pStatus when it is not EXSM_SUCCESS; a value
// that maps to EXSM_SUCCESS (0, 18, 54) leaves *pStatus as it was. A value of NUM_DBERRORS or
// more fires the assertion "DBStatus < NUM_DBERRORS" in source module pszModule and stores
// EXSM_INTERNAL_ERROR. pStatus may be null (nothing is stored).
void QNMapDBStatus(unsigned dbStatus, EXSM_STATUS* pStatus, const char* pszModule = ".\\EXSM");

// The unexpected-error format that programs show a status with, and the text made from it:
// "Unexpected error detected (Lock Error).  Please contact Customer Support."
inline constexpr const char* QN_UNEXPECTED_ERROR_FORMAT =
    "Unexpected error detected (%s).  Please contact Customer Support.";
std::string QNUnexpectedErrorText(uint32_t status);
