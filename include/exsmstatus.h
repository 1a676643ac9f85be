/*
 * exsmstatus.h - the status of every exported catalog operation.
 *
 * 0 is success; every other value is a failure. The values never change: callers store them
 * and compare them. The display text of a status is found by its low 16 bits.
 */
#ifndef EXSMSTATUS_H
#define EXSMSTATUS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum EXSM_STATUS {
    EXSM_SUCCESS = 0,
    EXSM_CATALOG_ALREADY_OPEN = 1,
    EXSM_FOLDER_REQUIRED = 2,
    EXSM_INVALID_HANDLE = 3,
    EXSM_ITEM_HAS_CHANGED = 4,
    EXSM_OUT_OF_MEMORY = 5,
    EXSM_ALREADY_EXISTS = 6,
    EXSM_DOES_NOT_EXIST = 7,
    EXSM_ERROR_UNKNOWN = 8,
    EXSM_INTERNAL_ERROR = 9,
    EXSM_LOCK_ERROR = 10,
    EXSM_ACCESS_DENIED = 11,
    EXSM_CATALOG_OPEN_ERROR = 12,
    EXSM_OUT_OF_DISK_SPACE = 13,
    EXSM_CATALOG_CORRUPTED = 14,
    /* A failure to IS_EXERROR; the callers of the verification take it as a successful repair. */
    EXSM_CATALOG_REPAIRED = 15,
    EXSM_CATALOG_BACKUP_FAILED = 16,
    EXSM_CATALOG_RESTORE_FAILED = 17,
    EXSM_CATALOG_UNAVAILABLE = 18,
    EXSM_INVALID_CATALOG_FILE = 19,
    EXSM_CATALOG_NAME_TOO_LONG = 20,
    EXSM_INVALID_LOCK_MANAGER = 21,
    EXSM_LOCK_MANAGER_NOT_FOUND = 22,
    EXSM_NETBIOS_NOT_FOUND = 23,
    EXSM_ITEM_DELETED = 24,
    EXSM_PARENT_DELETED = 25,
    EXSM_FATAL_ERROR = 26,
    EXSM_INVALID_CATALOG_NAME = 27,
    EXSM_ITEM_ALREADY_REFERENCED = 28,
    EXSM_ITEM_NOT_REFERENCED = 29,
    EXSM_SHARE_NOT_LOADED = 30,
    /* Keeps the enumeration 32 bits wide whatever the compiler's enum sizing. */
    EXSM_STATUS_FORCE_32BIT = 0x7FFFFFFF
} EXSM_STATUS;

/* True when the status that pStatus points to is a failure. */
#define IS_EXERROR(pStatus) (*(pStatus) != EXSM_SUCCESS)

/* Number of statuses that have a display text (0 to 30). */
#define EXSM_NUM_STATUS_TEXTS 31

#ifdef __cplusplus
}
#endif

#endif /* EXSMSTATUS_H */
