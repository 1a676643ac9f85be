#include "foundation/status.h"

#include "foundation/syslog.h"

const char* QNStatusText(uint32_t status) {
    // A switch without a default: the compiler reports a status without a text.
    switch (static_cast<EXSM_STATUS>(status & 0xFFFFu)) {
        case EXSM_SUCCESS:
            return "Successful";
        case EXSM_CATALOG_ALREADY_OPEN:
            return "Catalog Already Open";
        case EXSM_FOLDER_REQUIRED:
            return "Folder Required";
        case EXSM_INVALID_HANDLE:
            return "Invalid Handle";
        case EXSM_ITEM_HAS_CHANGED:
            return "Item Has Changed";
        case EXSM_OUT_OF_MEMORY:
            return "Out Of Memory";
        case EXSM_ALREADY_EXISTS:
            return "Already Exists";
        case EXSM_DOES_NOT_EXIST:
            return "Does Not Exist";
        case EXSM_ERROR_UNKNOWN:
            return "Error Unknown";
        case EXSM_INTERNAL_ERROR:
            return "Internal Error";
        case EXSM_LOCK_ERROR:
            return "Lock Error";
        case EXSM_ACCESS_DENIED:
            return "Access Denied";
        case EXSM_CATALOG_OPEN_ERROR:
            return "Catalog Open Error";
        case EXSM_OUT_OF_DISK_SPACE:
            return "Out Of Disk Space";
        case EXSM_CATALOG_CORRUPTED:
            return "Catalog Corrupted";
        case EXSM_CATALOG_REPAIRED:
            return "Catalog Repaired";
        case EXSM_CATALOG_BACKUP_FAILED:
            return "Catalog Backup Failed";
        case EXSM_CATALOG_RESTORE_FAILED:
            return "Catalog Restore Failed";
        case EXSM_CATALOG_UNAVAILABLE:
            return "Catalog Unavailable";
        case EXSM_INVALID_CATALOG_FILE:
            return "Invalid Catalog File";
        case EXSM_CATALOG_NAME_TOO_LONG:
            return "Catalog Name Too Long";
        case EXSM_INVALID_LOCK_MANAGER:
            return "Invalid Lock Manager";
        case EXSM_LOCK_MANAGER_NOT_FOUND:
            return "Lock Manager Not Found";
        case EXSM_NETBIOS_NOT_FOUND:
            return "NetBIOS Not Found";
        case EXSM_ITEM_DELETED:
            return "Item Deleted";
        case EXSM_PARENT_DELETED:
            return "Parent Deleted";
        case EXSM_FATAL_ERROR:
            return "Fatal Error";
        case EXSM_INVALID_CATALOG_NAME:
            return "Invalid Catalog Name";
        case EXSM_ITEM_ALREADY_REFERENCED:
            return "Item Already Referenced";
        case EXSM_ITEM_NOT_REFERENCED:
            return "Item Not Referenced";
        case EXSM_SHARE_NOT_LOADED:
            return "Share Not Loaded";
        case EXSM_STATUS_FORCE_32BIT:
            break;
    }
    return nullptr;
}

namespace {

// Database-layer status (index) to EXSM_STATUS.
constexpr EXSM_STATUS kDBStatusMap[NUM_DBERRORS] = {
    EXSM_SUCCESS,                  // 0
    EXSM_CATALOG_ALREADY_OPEN,     // 1
    EXSM_CATALOG_ALREADY_OPEN,     // 2
    EXSM_CATALOG_OPEN_ERROR,       // 3
    EXSM_CATALOG_UNAVAILABLE,      // 4
    EXSM_CATALOG_OPEN_ERROR,       // 5
    EXSM_CATALOG_OPEN_ERROR,       // 6
    EXSM_ALREADY_EXISTS,           // 7
    EXSM_DOES_NOT_EXIST,           // 8
    EXSM_CATALOG_ALREADY_OPEN,     // 9
    EXSM_INTERNAL_ERROR,           // 10
    EXSM_INTERNAL_ERROR,           // 11
    EXSM_INTERNAL_ERROR,           // 12
    EXSM_INTERNAL_ERROR,           // 13
    EXSM_INTERNAL_ERROR,           // 14
    EXSM_INTERNAL_ERROR,           // 15
    EXSM_OUT_OF_DISK_SPACE,        // 16
    EXSM_ALREADY_EXISTS,           // 17
    EXSM_SUCCESS,                  // 18
    EXSM_FATAL_ERROR,              // 19
    EXSM_DOES_NOT_EXIST,           // 20
    EXSM_DOES_NOT_EXIST,           // 21
    EXSM_ALREADY_EXISTS,           // 22
    EXSM_INTERNAL_ERROR,           // 23
    EXSM_ALREADY_EXISTS,           // 24
    EXSM_ALREADY_EXISTS,           // 25
    EXSM_FOLDER_REQUIRED,          // 26
    EXSM_DOES_NOT_EXIST,           // 27
    EXSM_INTERNAL_ERROR,           // 28
    EXSM_INTERNAL_ERROR,           // 29
    EXSM_INTERNAL_ERROR,           // 30
    EXSM_OUT_OF_MEMORY,            // 31
    EXSM_INTERNAL_ERROR,           // 32
    EXSM_LOCK_ERROR,               // 33
    EXSM_ITEM_HAS_CHANGED,         // 34
    EXSM_DOES_NOT_EXIST,           // 35
    EXSM_DOES_NOT_EXIST,           // 36
    EXSM_LOCK_ERROR,               // 37
    EXSM_INTERNAL_ERROR,           // 38
    EXSM_ALREADY_EXISTS,           // 39
    EXSM_DOES_NOT_EXIST,           // 40
    EXSM_DOES_NOT_EXIST,           // 41
    EXSM_INTERNAL_ERROR,           // 42
    EXSM_INTERNAL_ERROR,           // 43
    EXSM_CATALOG_OPEN_ERROR,       // 44
    EXSM_INVALID_LOCK_MANAGER,     // 45
    EXSM_INVALID_LOCK_MANAGER,     // 46
    EXSM_INVALID_CATALOG_FILE,     // 47
    EXSM_CATALOG_NAME_TOO_LONG,    // 48
    EXSM_LOCK_MANAGER_NOT_FOUND,   // 49
    EXSM_INTERNAL_ERROR,           // 50
    EXSM_INVALID_CATALOG_NAME,     // 51
    EXSM_CATALOG_CORRUPTED,        // 52
    EXSM_CATALOG_REPAIRED,         // 53
    EXSM_SUCCESS,                  // 54
    EXSM_ITEM_ALREADY_REFERENCED,  // 55
    EXSM_ITEM_NOT_REFERENCED,      // 56
    EXSM_DOES_NOT_EXIST,           // 57
    EXSM_SHARE_NOT_LOADED,         // 58
};

}  // namespace

EXSM_STATUS QNMapDBStatusValue(unsigned dbStatus) {
    if (dbStatus >= NUM_DBERRORS)
        return EXSM_INTERNAL_ERROR;
    return kDBStatusMap[dbStatus];
}

void QNMapDBStatus(unsigned dbStatus, EXSM_STATUS* pStatus, const char* pszModule) {
    if (dbStatus >= NUM_DBERRORS) {
        if (QNGetAssertionChecking()) {
            QNAssertFailed("DBStatus < NUM_DBERRORS", pszModule ? pszModule : ".\\EXSM");
        }
        if (pStatus != nullptr)
            *pStatus = EXSM_INTERNAL_ERROR;
        return;
    }
    EXSM_STATUS mapped = kDBStatusMap[dbStatus];
    if (mapped != EXSM_SUCCESS && pStatus != nullptr)
        *pStatus = mapped;
}

std::string QNUnexpectedErrorText(uint32_t status) {
    // QN_UNEXPECTED_ERROR_FORMAT with the status text in place of its "%s".
    const char* pszText = QNStatusText(status);
    return std::string("Unexpected error detected (") + (pszText ? pszText : "") +
           ").  Please contact Customer Support.";
}
