/*
 * catstore.h - the catalog store: a shared catalog of bookmarks kept in one catalog file set.
 *
 * A process opens at most one catalog (EXBoardCreate, EXBoardOpen, or EXBoardConnect for
 * administration), works on it through opaque handles and closes it with EXBoardClose.
 *
 * Every exported call:
 *   - writes "ENTER: <name>..." to the system log;
 *   - checks its handle arguments against the objects this library handed out: a null, freed or
 *     foreign handle gives EXSM_INVALID_HANDLE and the call touches nothing;
 *   - clears *status to EXSM_SUCCESS first and stores a failure there (a null status pointer
 *     is allowed: the call runs and its status is dropped);
 *   - never lets an exception or a crash of its own escape to the caller.
 * Calls are serialised by one recursive lock per process, so two threads may call, but the
 * store is designed for one thread per process. Notifier routines run inside calls and may call
 * the library again.
 *
 * Strings: EX_STRING is a movable memory block (qnplatform.h) laid out as a 16-bit length, the
 * characters and a zero byte. Strings that the store puts into information records are new
 * blocks that belong to the caller (free them with QNGlobalFree); the store never frees a block
 * it handed out, and a block the caller passes in is read up to its length.
 */
#ifndef CATSTORE_H
#define CATSTORE_H

#include <stddef.h>
#include <stdint.h>

#include "exsmstatus.h"
#include "qnplatform.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define CATSTORE_API __attribute__((visibility("default")))
#else
#define CATSTORE_API
#endif

/* ---- Handles ------------------------------------------------------------------------------ */

typedef struct BOARD_OBJECT BOARD_OBJECT;       /* an open catalog */
typedef struct USER_OBJECT USER_OBJECT;         /* a copy of one user */
typedef struct GROUP_OBJECT GROUP_OBJECT;       /* a copy of one group */
typedef struct RESOURCE_OBJECT RESOURCE_OBJECT; /* a copy of one resource */
typedef struct ITEM_OBJECT ITEM_OBJECT;         /* one item of the catalog */
typedef struct USER_ITERATOR USER_ITERATOR;     /* a list of users */
typedef struct GROUP_ITERATOR GROUP_ITERATOR;   /* a list of groups */

/* ---- Caller strings ----------------------------------------------------------------------- */

/* A caller string is a movable block (EX_STRING* is a QNHGLOBAL); its memory holds an
 * EX_STRINGDATA: a 16-bit length, the characters and a zero byte. */
typedef struct QNGLOBAL_BLOCK EX_STRING;
typedef struct EX_STRINGDATA {
    uint16_t cbLength;
    char szText[2]; /* cbLength characters and a zero byte */
} EX_STRINGDATA;

/* Makes a new caller string holding pszText (NULL counts as ""; longer than 65535 bytes is cut).
 * NULL when memory is exhausted. */
CATSTORE_API EX_STRING* EXStringCreate(const char* pszText);
/* Copies the string's text into pchBuffer (capacity cchBuffer with the zero byte; cut when it
 * does not fit) and returns the string's full length; 0 with "" for a NULL or invalid block. */
CATSTORE_API size_t EXStringGetText(EX_STRING* hString, char* pchBuffer, size_t cchBuffer);

/* ---- Information records ------------------------------------------------------------------ */

/* The catalog information record (EXBoardCreate, EXBoardGetInfo, EXBoardSetInfo). */
typedef struct EX_BOARDINFO {
    uint16_t wBoardVersion;        /* stored board version (12) */
    uint32_t dwBoardID;            /* BOARDID */
    uint16_t wAccessLevel;         /* ITEMACCESS of the root item: level */
    uint16_t wAccessGroupOrUserID; /* ITEMACCESS of the root item: group or user id */
    uint16_t wAdminPolicy;         /* BOARDADMINPOLICY */
    uint32_t dwAdminFlags;         /* BOARDADMINFLAGS; bit 0 AllowVisitors */
    EX_STRING* hName;              /* catalog name: the root item's name */
    uint16_t wOwner;               /* user id of the root item's owner */
} EX_BOARDINFO;

#define EX_BOARD_ALLOWVISITORS 0x00000001u

/* A user as the caller sees it. On input, a NULL string counts as empty. */
typedef struct EX_USERINFO {
    uint16_t wReserved;        /* not used by the store */
    uint16_t wUserID;          /* USERID; 0 on create: the store allocates one */
    EX_STRING* hName;          /* USERNAME, at most 31 characters */
    EX_STRING* hDescription;   /* USERDESCRIPTION, at most 127 */
    EX_STRING* hEmailAddr;     /* USEREMAILADDR, at most 127 */
    EX_STRING* hLongName;      /* USERLONGNAME, at most 63 */
    EX_STRING* hPassword;      /* USERPASSWORD (stored scrambled), at most 16 bytes */
    EX_STRING* hLocalPassword; /* LOCALPASSWORD, at most 15 */
    EX_STRING* hSerialNumber;  /* USERSERIALNUMBER, at most 15 */
    uint32_t dwLastLogin;      /* USERLASTLOGIN, catalog time */
    int16_t nShadowKind;       /* USERSHADOWKIND */
    uint16_t cbShadowData;     /* length of the shadow data */
    QNHGLOBAL hShadowData;     /* USERSHADOWDATA: movable block of cbShadowData bytes */
    uint32_t dwNotifyFlags;    /* USERNOTIFYFLAGS */
} EX_USERINFO;

/* A group as the caller sees it. */
typedef struct EX_GROUPINFO {
    uint16_t wReserved;      /* not used by the store */
    uint16_t wGroupID;       /* GROUPID; 0 on create: the store allocates one */
    EX_STRING* hName;        /* GROUPNAME, at most 31 characters */
    EX_STRING* hDescription; /* GROUPDESCRIPTION, at most 127 */
    EX_STRING* hEmailAddr;   /* GROUPEMAILADDR, at most 127 */
    int16_t nShadowKind;     /* GROUPSHADOWKIND */
    uint16_t cbShadowData;   /* length of the shadow data */
    QNHGLOBAL hShadowData;   /* GROUPSHADOWDATA: movable block of cbShadowData bytes */
} EX_GROUPINFO;

/* A resource (a place where attached files live) as the caller sees it. */
typedef struct EX_RESOURCEINFO {
    uint16_t wResourceVersion;     /* RESOURCEVERSION */
    uint32_t dwResourceID;         /* RESOURCEID; 0 on create: the store allocates one */
    uint16_t wResourceType;        /* RESOURCETYPE */
    uint16_t wResourceSubType;     /* RESOURCESUBTYPE */
    uint32_t dwResourcePrivate;    /* RESOURCEPRIVATE */
    char szDomain[64];             /* RESOURCEDOMAIN */
    char szServer[64];             /* RESOURCESERVER */
    char szShareName[256];         /* RESOURCESHARENAME */
    EX_STRING* hLocalPath;         /* RESOURCELOCALPATH; NULL: none */
    unsigned char abReserved[256]; /* cleared by EXResourceGetInfo */
} EX_RESOURCEINFO;

/* The memory held by an open catalog (EXBoardMemoryUsage); the caller sets cbSize to 68. */
typedef struct EX_MEMORYUSAGE {
    uint32_t cbSize;
    uint32_t cbTotal;                                      /* sum of the five byte totals below */
    uint32_t dwNotifyCount, cbNotify;                      /* queued notifications */
    uint32_t dwRetiredCapacity, dwRetiredCount, cbRetired; /* parked item lists */
    uint32_t dwEntryCount, dwEntriesInUse, cbEntries;      /* cached item entries */
    uint32_t dwUnreadCount, cbUnread;                      /* unread set */
    uint32_t dwHandleCount, cbHandles;                     /* user/group/resource copies */
    uint32_t dwReserved[3];
} EX_MEMORYUSAGE;

/* Called by EXBoardOpen with the new handle and a reason: 1 after the catalog opened, 2 when
 * the user is not in the catalog and visitors are admitted (return 0 to be let in as a new
 * user after the store reopens, non-zero to refuse with that status). */
typedef EXSM_STATUS (*EX_BOARDCALLBACK)(BOARD_OBJECT* hbrd, uint32_t dwReason);

/* Open modes. */
#define EX_OPEN_ONEUSER 0
#define EX_OPEN_SHARED 1
#define EX_OPEN_EXCLUSIVE 2

/* ---- Catalog lifecycle -------------------------------------------------------------------- */

/* Makes a new catalog file set at pszPath (no extension: ".VFC"; the extensions D00-D07, K00,
 * K01, DBL, INI, LOG and TAF are refused), with the user SYSTEM (empty password), the root
 * item named by pInfo->hName ("Zelto Files Catalog Root" when empty), "Zelto Folders Root",
 * "Zelto Files Catalog" and "Lost and Found"; then opens it shared as pszUserName. pInfo
 * receives the board version and BOARDID.
 * Status: EXSM_INVALID_CATALOG_NAME, EXSM_OUT_OF_DISK_SPACE (a file cannot be written),
 * EXSM_CATALOG_ALREADY_OPEN, EXSM_OUT_OF_MEMORY, EXSM_CATALOG_OPEN_ERROR, EXSM_LOCK_ERROR,
 * EXSM_ACCESS_DENIED and the open's statuses. NULL on failure; nothing stays open. */
CATSTORE_API BOARD_OBJECT* EXBoardCreate(const char* pszPath, const char* pszUserName,
                                         const char* pszPassword, EX_BOARDINFO* pInfo,
                                         uint32_t dwOpenOption, uintptr_t ulItemContextA,
                                         uintptr_t ulItemContextB, EX_BOARDCALLBACK pfnCallback,
                                         EXSM_STATUS* status);

/* Opens the catalog as pszUserName with pszPassword. nOpenMode: EX_OPEN_ONEUSER, _SHARED,
 * _EXCLUSIVE (any other value opens shared). Status: EXSM_CATALOG_ALREADY_OPEN (this process has
 * one open), EXSM_INVALID_CATALOG_NAME, EXSM_CATALOG_UNAVAILABLE (held exclusively elsewhere),
 * EXSM_CATALOG_OPEN_ERROR (missing or unreadable file set), EXSM_INVALID_CATALOG_FILE,
 * EXSM_ACCESS_DENIED (unknown user, wrong password), EXSM_LOCK_ERROR, EXSM_OUT_OF_MEMORY.
 * NULL on failure; nothing stays open. */
CATSTORE_API BOARD_OBJECT* EXBoardOpen(const char* pszPath, const char* pszUserName,
                                       const char* pszPassword, int nOpenMode,
                                       uint32_t dwOpenOption, uintptr_t ulItemContextA,
                                       uintptr_t ulItemContextB, EX_BOARDCALLBACK pfnCallback,
                                       EXSM_STATUS* status);

/* Opens the catalog for administration as SYSTEM (no password, no user, no refresh).
 * Status: as EXBoardOpen without EXSM_ACCESS_DENIED. */
CATSTORE_API BOARD_OBJECT* EXBoardConnect(const char* pszPath, int nOpenMode, EXSM_STATUS* status);

/* Closes the catalog and frees the handle. Always returns 0 with EXSM_SUCCESS (a stale handle
 * is ignored). */
CATSTORE_API int EXBoardClose(BOARD_OBJECT* hbrd, EXSM_STATUS* status);

/* Takes in the changes other processes made since the last refresh.
 * Status: EXSM_INVALID_HANDLE, EXSM_LOCK_ERROR, mapped store failures. */
CATSTORE_API void EXBoardRefresh(BOARD_OBJECT* hbrd, EXSM_STATUS* status);

/* The catalog open in the calling process. Status: EXSM_CATALOG_UNAVAILABLE when none. */
CATSTORE_API BOARD_OBJECT* EXBoardBindCurrent(EXSM_STATUS* status);

/* Groups calls for timing; they open no engine transaction (each store routine commits its own).
 * Status: EXSM_INVALID_HANDLE. */
CATSTORE_API void EXBoardBeginTransaction(BOARD_OBJECT* hbrd, const char* pszName,
                                          EXSM_STATUS* status);
CATSTORE_API void EXBoardEndTransaction(BOARD_OBJECT* hbrd, EXSM_STATUS* status);
CATSTORE_API void EXBoardAbortTransaction(BOARD_OBJECT* hbrd, EXSM_STATUS* status);

/* ---- Catalog information, slots, timers, memory ------------------------------------------ */

/* Status for all: EXSM_INVALID_HANDLE, EXSM_LOCK_ERROR, mapped store failures. */
CATSTORE_API void EXBoardGetInfo(BOARD_OBJECT* hbrd, EX_BOARDINFO* pInfo, EXSM_STATUS* status);
/* Also EXSM_ITEM_HAS_CHANGED when the root item was changed meanwhile. */
CATSTORE_API void EXBoardSetInfo(BOARD_OBJECT* hbrd, const EX_BOARDINFO* pInfo,
                                 EXSM_STATUS* status);
/* Slots 0 to 15; another index: EXSM_DOES_NOT_EXIST. An empty slot: EXSM_DOES_NOT_EXIST. */
CATSTORE_API ITEM_OBJECT* EXBoardGetItem(BOARD_OBJECT* hbrd, int nSlot, EXSM_STATUS* status);
CATSTORE_API void EXBoardSetItem(BOARD_OBJECT* hbrd, int nSlot, ITEM_OBJECT* hItem,
                                 EXSM_STATUS* status);
/* Timers 0 to 15: two values, interval and time stamp. */
CATSTORE_API void EXBoardGetTimer(BOARD_OBJECT* hbrd, int nIndex, long* plTimer,
                                  EXSM_STATUS* status);
CATSTORE_API void EXBoardSetTimer(BOARD_OBJECT* hbrd, int nIndex, const long* plTimer,
                                  EXSM_STATUS* status);
CATSTORE_API ITEM_OBJECT* EXBoardGetRootFolder(BOARD_OBJECT* hbrd);
CATSTORE_API BOARD_OBJECT* EXBoardFromItem(ITEM_OBJECT* hItem);
CATSTORE_API BOARD_OBJECT* EXBoardFromGroup(GROUP_OBJECT* hGroup);
CATSTORE_API BOARD_OBJECT* EXBoardFromUser(USER_OBJECT* hUser);
CATSTORE_API USER_OBJECT* EXBoardGetCurrentUser(BOARD_OBJECT* hbrd);
/* Stored version in the low 16 bits; 0 when none; 0xFFFF on a read failure or version >= 13. */
CATSTORE_API uint32_t EXBoardVersion(BOARD_OBJECT* hbrd);
/* pArray: first 32-bit word lower bound (low 16 bits) and upper bound (high 16 bits), then
 * upper - lower + 1 entries of 16 bytes (a zero-terminated lock-manager user name each).
 * *pnCount receives the number of users. Status: EXSM_LOCK_MANAGER_NOT_FOUND. */
CATSTORE_API void EXBoardGetCurrentUsers(BOARD_OBJECT* hbrd, short* pnCount, void* pArray,
                                         EXSM_STATUS* status);
CATSTORE_API void EXBoardClearUser(BOARD_OBJECT* hbrd, const char* pszUserID, EXSM_STATUS* status);
CATSTORE_API void EXBoardMemoryUsage(BOARD_OBJECT* hbrd, EX_MEMORYUSAGE* pUsage, int fCompact,
                                     EXSM_STATUS* status);

/* Releases an item handle made by EXBoardGetItem, EXUserGetItem or EXBoardGetRootFolder. */
CATSTORE_API void EXItemRelease(ITEM_OBJECT* hItem, EXSM_STATUS* status);
/* The item's id and name (minimal view; 0 and "" for an invalid handle). */
CATSTORE_API uint32_t EXItemGetID(ITEM_OBJECT* hItem);
CATSTORE_API size_t EXItemGetName(ITEM_OBJECT* hItem, char* pchBuffer, size_t cchBuffer);

/* ---- Users -------------------------------------------------------------------------------- */

/* Creates a user (names may repeat) and makes the user's eight built-in folders. A text longer
 * than its field (name 31, password 16 bytes, ...) is refused, never cut. pInfo->wUserID
 * receives the new id.
 * Status: EXSM_INVALID_HANDLE, EXSM_ALREADY_EXISTS (id in use), EXSM_CATALOG_NAME_TOO_LONG
 * (name, password or another text longer than its field), EXSM_LOCK_ERROR, EXSM_OUT_OF_MEMORY.
 * When making the folders fails the handle is returned together with that status. */
CATSTORE_API USER_OBJECT* EXUserCreate(BOARD_OBJECT* hbrd, EX_USERINFO* pInfo, EXSM_STATUS* status);
/* Status: EXSM_INVALID_HANDLE, EXSM_ITEM_HAS_CHANGED, EXSM_DOES_NOT_EXIST, EXSM_LOCK_ERROR.
 * On success the handle is released; on failure it stays valid. */
CATSTORE_API void EXUserDestroy(USER_OBJECT* hUser, EXSM_STATUS* status);
/* New caller strings in every string field; the password descrambled. */
CATSTORE_API void EXUserGetInfo(USER_OBJECT* hUser, EX_USERINFO* pInfo, EXSM_STATUS* status);
/* Status: EXSM_INVALID_HANDLE, EXSM_ITEM_HAS_CHANGED (another process wrote the user since this
 * copy was read), EXSM_ALREADY_EXISTS, EXSM_DOES_NOT_EXIST, EXSM_CATALOG_NAME_TOO_LONG. */
CATSTORE_API void EXUserSetInfo(USER_OBJECT* hUser, const EX_USERINFO* pInfo, EXSM_STATUS* status);
CATSTORE_API uint16_t EXUserGetID(USER_OBJECT* hUser);
/* The returned handle may be an entry of the catalog's user list (do not release it unless
 * acquired). Status: EXSM_DOES_NOT_EXIST. */
CATSTORE_API USER_OBJECT* EXUserFindByID(BOARD_OBJECT* hbrd, uint16_t wUserID, EXSM_STATUS* status);
/* A new handle (release it). Status: EXSM_DOES_NOT_EXIST. */
CATSTORE_API USER_OBJECT* EXUserFindByName(BOARD_OBJECT* hbrd, const char* pszName,
                                           EXSM_STATUS* status);
CATSTORE_API USER_OBJECT* EXUserAcquire(USER_OBJECT* hUser, EXSM_STATUS* status);
CATSTORE_API void EXUserRelease(USER_OBJECT* hUser, EXSM_STATUS* status);
CATSTORE_API ITEM_OBJECT* EXUserGetItem(USER_OBJECT* hUser, int nSlot, EXSM_STATUS* status);
CATSTORE_API void EXUserSetItem(USER_OBJECT* hUser, int nSlot, ITEM_OBJECT* hItem,
                                EXSM_STATUS* status);
CATSTORE_API USER_ITERATOR* EXBoardGetUsers(BOARD_OBJECT* hbrd, EXSM_STATUS* status);
CATSTORE_API GROUP_ITERATOR* EXUserGetGroups(USER_OBJECT* hUser, EXSM_STATUS* status);

CATSTORE_API int EXUserIteratorCount(USER_ITERATOR* pIter);
CATSTORE_API void EXUserIteratorReset(USER_ITERATOR* pIter);
CATSTORE_API USER_OBJECT* EXUserIteratorCurrent(USER_ITERATOR* pIter);
CATSTORE_API USER_OBJECT* EXUserIteratorFirst(USER_ITERATOR* pIter);
CATSTORE_API USER_OBJECT* EXUserIteratorLast(USER_ITERATOR* pIter);
CATSTORE_API USER_OBJECT* EXUserIteratorNext(USER_ITERATOR* pIter);
CATSTORE_API USER_OBJECT* EXUserIteratorPrev(USER_ITERATOR* pIter);
CATSTORE_API int EXUserIteratorRelease(USER_ITERATOR* pIter, int fFlag);

/* ---- Groups ------------------------------------------------------------------------------- */

CATSTORE_API GROUP_OBJECT* EXGroupCreate(BOARD_OBJECT* hbrd, EX_GROUPINFO* pInfo,
                                         EXSM_STATUS* status);
CATSTORE_API void EXGroupDestroy(GROUP_OBJECT* hGroup, EXSM_STATUS* status);
CATSTORE_API void EXGroupGetInfo(GROUP_OBJECT* hGroup, EX_GROUPINFO* pInfo, EXSM_STATUS* status);
CATSTORE_API void EXGroupSetInfo(GROUP_OBJECT* hGroup, const EX_GROUPINFO* pInfo,
                                 EXSM_STATUS* status);
CATSTORE_API uint16_t EXGroupGetID(GROUP_OBJECT* hGroup);
CATSTORE_API GROUP_OBJECT* EXGroupFindByID(BOARD_OBJECT* hbrd, uint16_t wGroupID,
                                           EXSM_STATUS* status);
CATSTORE_API GROUP_OBJECT* EXGroupFindByName(BOARD_OBJECT* hbrd, const char* pszName,
                                             EXSM_STATUS* status);
CATSTORE_API GROUP_OBJECT* EXGroupAcquire(GROUP_OBJECT* hGroup, EXSM_STATUS* status);
CATSTORE_API void EXGroupRelease(GROUP_OBJECT* hGroup, EXSM_STATUS* status);
/* Status: EXSM_ALREADY_EXISTS when the user already is a member. */
CATSTORE_API void EXGroupAddUser(GROUP_OBJECT* hGroup, USER_OBJECT* hUser, EXSM_STATUS* status);
/* Status: EXSM_DOES_NOT_EXIST when the user is not a member. */
CATSTORE_API void EXGroupRemoveUser(GROUP_OBJECT* hGroup, USER_OBJECT* hUser, EXSM_STATUS* status);
/* Status: EXSM_SUCCESS when a member, EXSM_DOES_NOT_EXIST when not. */
CATSTORE_API void EXGroupContainsUser(GROUP_OBJECT* hGroup, USER_OBJECT* hUser,
                                      EXSM_STATUS* status);
CATSTORE_API GROUP_ITERATOR* EXBoardGetGroups(BOARD_OBJECT* hbrd, EXSM_STATUS* status);
CATSTORE_API USER_ITERATOR* EXGroupGetUsers(GROUP_OBJECT* hGroup, EXSM_STATUS* status);

CATSTORE_API int EXGroupIteratorCount(GROUP_ITERATOR* pIter);
CATSTORE_API void EXGroupIteratorReset(GROUP_ITERATOR* pIter);
CATSTORE_API GROUP_OBJECT* EXGroupIteratorCurrent(GROUP_ITERATOR* pIter);
CATSTORE_API GROUP_OBJECT* EXGroupIteratorFirst(GROUP_ITERATOR* pIter);
CATSTORE_API GROUP_OBJECT* EXGroupIteratorLast(GROUP_ITERATOR* pIter);
CATSTORE_API GROUP_OBJECT* EXGroupIteratorNext(GROUP_ITERATOR* pIter);
CATSTORE_API GROUP_OBJECT* EXGroupIteratorPrev(GROUP_ITERATOR* pIter);
CATSTORE_API int EXGroupIteratorRelease(GROUP_ITERATOR* pIter, int fFlag);

/* ---- Resources ---------------------------------------------------------------------------- */

/* Status: EXSM_ALREADY_EXISTS (id in use), EXSM_LOCK_ERROR, EXSM_OUT_OF_MEMORY. */
CATSTORE_API RESOURCE_OBJECT* EXResourceCreate(BOARD_OBJECT* hbrd, EX_RESOURCEINFO* pInfo,
                                               EXSM_STATUS* status);
CATSTORE_API void EXResourceGetInfo(RESOURCE_OBJECT* hResource, EX_RESOURCEINFO* pInfo,
                                    EXSM_STATUS* status);
/* Status: EXSM_ITEM_HAS_CHANGED, EXSM_DOES_NOT_EXIST. */
CATSTORE_API void EXResourceSetInfo(RESOURCE_OBJECT* hResource, const EX_RESOURCEINFO* pInfo,
                                    EXSM_STATUS* status);
/* Status: EXSM_ITEM_HAS_CHANGED (changed elsewhere; the copy stays), EXSM_DOES_NOT_EXIST. */
CATSTORE_API void EXResourceRefresh(RESOURCE_OBJECT* hResource, EXSM_STATUS* status);
/* NULL on success (the handle is freed); the handle itself on failure. */
CATSTORE_API RESOURCE_OBJECT* EXResourceDestroy(RESOURCE_OBJECT* hResource, EXSM_STATUS* status);
CATSTORE_API RESOURCE_OBJECT* EXResourceFindByID(BOARD_OBJECT* hbrd, uint32_t dwResourceID,
                                                 EXSM_STATUS* status);
CATSTORE_API RESOURCE_OBJECT* EXResourceFind(BOARD_OBJECT* hbrd, const EX_RESOURCEINFO* pPattern,
                                             EXSM_STATUS* status);
CATSTORE_API RESOURCE_OBJECT* EXResourceAcquire(RESOURCE_OBJECT* hResource, EXSM_STATUS* status);
CATSTORE_API int EXResourceRelease(RESOURCE_OBJECT* hResource, EXSM_STATUS* status);

/* ---- Preferences, time, log --------------------------------------------------------------- */

/* nWhich: 0 the user configuration file, 1 the catalog configuration file, 2 "QNCLIENT.INI". */
CATSTORE_API int32_t EXPrefsGetInt(BOARD_OBJECT* hbrd, int32_t nWhich, const char* pszSection,
                                   const char* pszKey, int32_t nDefault);
CATSTORE_API uint32_t EXPrefsGetLong(BOARD_OBJECT* hbrd, int32_t nWhich, const char* pszSection,
                                     const char* pszKey, uint32_t dwDefault);
CATSTORE_API void EXPrefsGetString(BOARD_OBJECT* hbrd, int32_t nWhich, const char* pszSection,
                                   const char* pszKey, const char* pszDefault,
                                   EX_STRING** phResult);
CATSTORE_API void EXPrefsSetString(BOARD_OBJECT* hbrd, int32_t nWhich, const char* pszSection,
                                   const char* pszKey, const char* pszValue);

CATSTORE_API long EXTimeGetCurrent(void);
CATSTORE_API long EXTimeFromVBTime(double dblDate);
CATSTORE_API double EXTimeToVBTime(long lSeconds);

CATSTORE_API void EXSystemLog(BOARD_OBJECT* hbrd, uint32_t dwCategory, const char* pszText);

/* ---- Change log --------------------------------------------------------------------------- */

/* Change kinds shared by the change log and notifications. */
#define EX_CHANGE_UNKNOWN 0
#define EX_CHANGE_CREATED 1
#define EX_CHANGE_MODIFIED 2
#define EX_CHANGE_DESTROYED 3
#define EX_CHANGE_ADDREF 4
#define EX_CHANGE_REMOVEREF 5

/* The change-entry being built and the item it describes are internal records; the notifier
 * routines are exported so that store routines can be handed either. They return 1 to write the
 * entry and 0 to skip it. */
typedef struct DB_CHANGEINFO DB_CHANGEINFO;
typedef struct DB_ITEM DB_ITEM;
CATSTORE_API int ChangeEntryNotifier(DB_CHANGEINFO* pChange, DB_ITEM* pItem, unsigned short wKind,
                                     BOARD_OBJECT* hbrd);
CATSTORE_API int ItemCopyNotifier(DB_CHANGEINFO* pChange, DB_ITEM* pItem, unsigned short wKind,
                                  BOARD_OBJECT* hbrd);

/* ---- Status texts ------------------------------------------------------------------------- */

/* The display text of a status ("Lock Error"); "" for a value without text. */
CATSTORE_API const char* EXStatusText(EXSM_STATUS status);

#ifdef __cplusplus
}
#endif

#endif /* CATSTORE_H */
