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
typedef struct ITEM_ITERATOR ITEM_ITERATOR;     /* a live list of items */
typedef struct DB_ITEM DB_ITEM;                 /* the store's in-memory item (internal) */
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
 * receives the board version and BOARDID. ulItemContextA and B: the catalog's default item
 * notifier routine (an EX_ITEMNOTIFIER, 0 for none) and value, as for EXBoardOpen.
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
 * EXSM_CATALOG_OPEN_ERROR (missing or unreadable file set), EXSM_INVALID_CATALOG_FILE (not a
 * catalog, a catalog version this store cannot open, or an older catalog opened other than
 * exclusively: the file is left as it was), EXSM_ACCESS_DENIED (unknown user, wrong password),
 * EXSM_LOCK_ERROR, EXSM_OUT_OF_MEMORY. An exclusive open upgrades an older catalog and makes
 * the built-in folders it lacks in one transaction: on failure it stays as it was.
 * NULL on failure; nothing stays open. ulItemContextA and B are the default notifier routine (an
 * EX_ITEMNOTIFIER cast to uintptr_t, or 0) and value that handles get where a call asks for the
 * defaults. */
CATSTORE_API BOARD_OBJECT* EXBoardOpen(const char* pszPath, const char* pszUserName,
                                       const char* pszPassword, int nOpenMode,
                                       uint32_t dwOpenOption, uintptr_t ulItemContextA,
                                       uintptr_t ulItemContextB, EX_BOARDCALLBACK pfnCallback,
                                       EXSM_STATUS* status);

/* Opens the catalog for administration as SYSTEM (no password, no user, no refresh).
 * Status: as EXBoardOpen without EXSM_ACCESS_DENIED. */
CATSTORE_API BOARD_OBJECT* EXBoardConnect(const char* pszPath, int nOpenMode, EXSM_STATUS* status);

/* Closes the catalog and frees the handle: the unread marks of the current user are written
 * back, and every item handle and list of the catalog that the application did not release ends
 * with it (using one afterwards is using an invalid handle). Always returns 0 with EXSM_SUCCESS
 * (a stale handle is ignored). */
CATSTORE_API int EXBoardClose(BOARD_OBJECT* hbrd, EXSM_STATUS* status);

/* Checks the structure of a catalog opened with EXBoardConnect (mode 2, exclusive) and, with
 * fRepair, mends it. pDatabaseContext is the third field of the BOARD_OBJECT. Returns a
 * database-layer status: 0 nothing found, 52 findings left as they were (fRepair 0), 53
 * findings repaired, 50 a check could not run (no catalog, an engine or lock failure).
 * The storage check of the engine runs first, then users, items, item references, attachments
 * and variable strings, each in its own transaction named after it; a finding never ends the
 * run. Every finding is a line "DBBoardVerify: ..." in the system log (category 0x100) and in
 * the catalog's own log (the catalog path with its extension replaced by ".log").
 * Without fRepair nothing is written: the file stays byte for byte as it was.
 * With fRepair, before the first write the catalog as it was is copied (the engine's backup) to
 * "<catalog path>.before-repair", replacing an older copy; a repair that cannot make that copy
 * writes nothing and returns 50. Repairs never lose, expose or double what the application
 * sees:
 *  - every variable string referenced by any field of any record is owned and never adopted;
 *    only a header no record references (and that existed when the string check began) is
 *    adopted, by storing its address into a new item "Item for Orphan Strings" in the folder
 *    "Lost and Found" under the root (made when first needed); repository strings go into the
 *    orphan item's note;
 *  - a string whose chunks lost one (or hold a length out of range) keeps its readable chunks
 *    and its stored length becomes their sum; one without data is removed;
 *  - an access id naming nobody (or an undefined level) becomes level 3 with the owner's id,
 *    SYSTEM's without an owner; TYPE becomes 4 only for an item with children, no other type
 *    is changed; a folder record is written only when the check made it;
 *  - the item with ID 1 is the root (parent 0), made again when missing; an item whose parent
 *    is gone goes to Lost and Found, one whose parent exists is reconnected to it; cycles and
 *    subtrees the root does not reach go to Lost and Found;
 *  - a user's change-log position that names nothing becomes the last change entry;
 *  - a repository named by several attachments stays with the first in storage order; each
 *    other one gets its own copy of the record and of its three texts, and its key follows;
 *  - a variable string named by several fields stays with the field that holds its kind of
 *    text (the first such in the walk: record types in dictionary order, records in storage
 *    order, fields in record order; the first field at all when none holds its kind); each
 *    other field gets its own copy of the text and its record is written back. */
CATSTORE_API uint16_t DBBoardVerify(void* pDatabaseContext, int fRepair);

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

/* ---- Items -------------------------------------------------------------------------------- */

/*
 * An item is a bookmark, note, monitored page, document or folder (TYPE 4). The application
 * works on items through ITEM_OBJECT handles:
 *   - detached: made by EXItemNew, holding a private copy and belonging to no catalog until
 *     EXItemCreate stores it;
 *   - attached: one per call that hands out a handle (create, finds, acquire, parent, slots, the
 *     root folder); every attached handle of one item in the process shows the same cached copy
 *     until a setter gives it a private copy, and a successful EXItemSetInfo shares it again;
 *   - in a list: handles inside an ITEM_ITERATOR belong to the list and end with it;
 *   - orphaned: when the item is destroyed (here or, after EXBoardRefresh, elsewhere) a handle
 *     keeps its last copy; it can still be read and released, every other call answers
 *     EXSM_INVALID_HANDLE.
 * A null, released or foreign handle gives EXSM_INVALID_HANDLE (with an assertion report while
 * assertion checking is on), never a crash.
 *
 * Records below are packed exactly like the stored records; their field names are the catalog's.
 */
#pragma pack(push, 1)
typedef struct EX_ITEM {
    uint16_t itemversion;
    uint16_t type; /* 4: folder */
    uint32_t itemid;
    uint32_t itemparentid; /* 0: at the top */
    uint16_t attributes;
    char itemname[64];
    char itemdescription[128];
    uint16_t uidowner;
    uint16_t uidresponsible;
    uint32_t duedate;
    uint16_t status;
    uint16_t uidlastmodified;
    uint32_t tmlastmodified;
    struct {
        uint16_t itemaccesslevel;
        uint16_t itemaccessgrouporuserid;
    } itemaccess;
    unsigned char itemreserved[78];
    uint32_t itemextendedinfo; /* addresses of the stored texts */
    uint32_t iteminstructions;
    uint32_t itemkeywords;
    uint32_t itemnote;
    uint32_t itemsubscribers;
    uint32_t dbalastmodified;
    uint32_t folderstruct;
} EX_ITEM;

typedef struct EX_ATTACHMENT {
    uint16_t attversion;
    uint16_t atttype; /* 0: no attachment */
    uint16_t attsubtype;
    uint16_t attnametype;
    uint16_t attnamesubtype;
    struct {
        uint32_t attnameresourceid;
        uint32_t attnamecrc; /* computed by the store */
    } attfilekey;
    char attnamepath[256]; /* the file or page the item points at */
    uint32_t attnametopicname;
    struct {
        uint32_t attinfoattr;
        uint32_t attinfosize;
        uint32_t attinfotimeaccessed;
        uint32_t attinfotimecreated;
        uint32_t attinfotimeexpired;
        uint32_t attinfotime;
        uint16_t attinfouseraccessed;
    } attinfo;
    uint32_t attchecksum;
    uint32_t attspecialinfo;
    uint16_t attsync;
    uint16_t attsynctype;
    uint32_t attsyncinterval;
    uint32_t attsynctime;
    unsigned char attachreserved[98];
    struct {
        uint32_t attreposresourceid;
        uint32_t attreposcrc; /* computed by the store */
    } attreposkey;
    uint32_t attrepository;
} EX_ATTACHMENT;

typedef struct EX_FOLDER {
    uint16_t folderversion;
    uint16_t foldertype;
    uint16_t folderupdatetype;
    uint32_t folderupdateinterval;
    uint32_t folderupdatetime;
    uint16_t foldermonitortype;
    uint16_t folderlocationtype;
    struct {
        uint32_t folderlocationinfoattr;
        uint32_t folderlocationinfosize;
        uint32_t folderlocationinfotimeaccessed;
        uint32_t folderlocationinfotimecreated;
        uint32_t folderlocationinfotimeexpired;
        uint32_t folderlocationinfotime;
        uint16_t folderlocationinfouseraccessed;
    } folderlocationinfo;
    struct {
        uint16_t folderlocationnametype;
        uint16_t folderlocationnamesubtype;
        uint32_t folderlocationnameresourceid;
        uint32_t folderlocationnamecrc;
        char folderlocationnamepath[256];
        uint32_t folderlocationnametopicname;
    } folderlocationname;
    unsigned char folderreserved[124];
} EX_FOLDER;

typedef struct EX_REPOSITORY {
    uint16_t repositoryversion;
    uint16_t repositorytype; /* 0: no repository */
    uint16_t repositorysubtype;
    uint32_t repositoryresourceid;
    uint32_t repositorylocationcrc; /* computed by the store */
    uint32_t repositoryattributes;
    uint32_t repositorysize;
    uint32_t repositorytimeaccessed;
    uint32_t repositorytimecreated;
    uint32_t repositorytimeexpired;
    uint32_t repositorytimemodified;
    uint16_t repositoryuseraccessed;
    uint16_t repositorysynctype;
    uint32_t repositorysyncinterval;
    uint32_t repositorysynctime;
    unsigned char repositoryreserved[6];
    uint32_t repositorylocationinfo; /* addresses of the stored blobs */
    uint32_t repositorypolicyinfo;
    uint32_t repositoryprivateinfo;
} EX_REPOSITORY;
#pragma pack(pop)

/* A counted byte block. */
typedef struct EX_BLOB {
    uint16_t cbData;
    const void* pbData;
} EX_BLOB;

/* Field flags: which parts of an item the caller changed. 0 selects every part, for reading and
 * for writing alike; a write with flags 0 counts as a change of every part except the folder the
 * item is in. */
#define EX_FIELD_ITEM 0x00000001u        /* the item record's own fields; SetItemName sets it */
#define EX_FIELD_OWNER 0x00000008u       /* UIDOWNER: rewrite the owner's membership */
#define EX_FIELD_ATTACHMENT 0x00000100u  /* the attachment (see EX_FIELDS_ATTACHMENT) */
#define EX_FIELD_REFMARKER 0x00000400u   /* ATTRIBUTES changed by the reference marker */
#define EX_FIELD_PARENT 0x00001000u      /* the item moved to another folder */
#define EX_FIELD_NOTE 0x00002000u        /* the note */
#define EX_FIELD_UNREADONLY 0x00004000u  /* on its own: only the unread state changed */
#define EX_FIELD_ACCESS 0x00010000u      /* the access pair */
#define EX_FIELDS_FOLDER 0x00048000u     /* the folder record */
#define EX_FIELDS_ATTACHMENT 0x01800100u /* attachment, its keys, repository and its blobs */
#define EX_FIELDS_TEXTS 0x00782000u      /* the note and the four item texts */
#define EX_FIELDS_SIGNIFICANT 0x00F97FC1u
#define EX_FIELDS_ALL 0xFFFFFFFFu

/* Unread flags of an item (EXItemObjectItemUnReadFlags, EX_ITEMINFO). */
#define EX_UNREAD_CHANGED 0x0001u
#define EX_UNREAD_ATTACHMENT 0x0002u
#define EX_UNREAD_NOTE 0x0004u

/* The flat description of an item (EXItemGetInfo, EXItemNew). Text pointers are never null on
 * output and stay valid while the handle's view is unchanged; the store never frees them. */
typedef struct EX_ITEMINFO {
    /* the item record, itemversion to itemaccess */
    uint16_t itemversion;
    uint16_t type;
    uint32_t itemid;
    uint32_t itemparentid;
    uint16_t attributes;
    char itemname[64];
    char itemdescription[128];
    uint16_t uidowner;
    uint16_t uidresponsible;
    uint32_t duedate;
    uint16_t status;
    uint16_t uidlastmodified;
    uint32_t tmlastmodified;
    uint16_t itemaccesslevel;
    uint16_t itemaccessgrouporuserid;
    /* texts */
    const char* pszExtendedInfo;
    const char* pszInstructions;
    const char* pszKeywords;
    const char* pszNote; /* the stored note (the item's cached copy); "" without a catalog */
    const char* pszSubscribers;
    const void* pvReserved1;
    /* the attachment, attversion to attsynctime */
    uint16_t attversion;
    uint16_t atttype;
    uint16_t attsubtype;
    uint16_t attnametype;
    uint16_t attnamesubtype;
    uint32_t attnameresourceid;
    uint32_t attnamecrc;
    char attnamepath[256];
    const char* pszAttachmentTopicName;
    uint32_t attinfoattr;
    uint32_t attinfosize;
    uint32_t attinfotimeaccessed;
    uint32_t attinfotimecreated;
    uint32_t attinfotimeexpired;
    uint32_t attinfotime;
    uint16_t attinfouseraccessed;
    uint32_t attchecksum;
    uint32_t attspecialinfo;
    uint16_t attsync;
    uint16_t attsynctype;
    uint32_t attsyncinterval;
    uint32_t attsynctime;
    /* the repository, repositoryversion to repositorysynctime */
    uint16_t repositoryversion;
    uint16_t repositorytype;
    uint16_t repositorysubtype;
    uint32_t repositoryresourceid;
    uint32_t repositorylocationcrc;
    uint32_t repositoryattributes;
    uint32_t repositorysize;
    uint32_t repositorytimeaccessed;
    uint32_t repositorytimecreated;
    uint32_t repositorytimeexpired;
    uint32_t repositorytimemodified;
    uint16_t repositoryuseraccessed;
    uint16_t repositorysynctype;
    uint32_t repositorysyncinterval;
    uint32_t repositorysynctime;
    EX_BLOB blobReposLocation;
    EX_BLOB blobReposPolicy;
    EX_BLOB blobReposPrivate;
    /* the folder, folderversion to the location name's topic */
    uint16_t folderversion;
    uint16_t foldertype;
    uint16_t folderupdatetype;
    uint32_t folderupdateinterval;
    uint32_t folderupdatetime;
    uint16_t foldermonitortype;
    uint16_t folderlocationtype;
    uint32_t folderlocationinfoattr;
    uint32_t folderlocationinfosize;
    uint32_t folderlocationinfotimeaccessed;
    uint32_t folderlocationinfotimecreated;
    uint32_t folderlocationinfotimeexpired;
    uint32_t folderlocationinfotime;
    uint16_t folderlocationinfouseraccessed;
    uint16_t folderlocationnametype;
    uint16_t folderlocationnamesubtype;
    uint32_t folderlocationnameresourceid;
    uint32_t folderlocationnamecrc;
    char folderlocationnamepath[256];
    const char* pszFolderTopicName;
    /* the rest */
    uint32_t dwReserved2;
    ITEM_OBJECT* hItem; /* the handle the description was taken from */
    uint32_t dwFieldFlags;
    uint16_t wUnreadFlags;
    uint16_t wReserved3;
} EX_ITEMINFO;

/*
 * Item notifier: the application's routine that hears of changes to an item a handle shows.
 *   hItem      the handle, or NULL for the notifier a list keeps on its own folder (below);
 *   pIterator  the list the handle belongs to, or NULL for a handle of its own;
 *   nIndex     for a handle in a list: its slot; for Destroyed and for a removal of a handle
 *              from a list (moved away, reference removed) the slot it occupied, and handles
 *              after it report one lower from then on. A handle of its own reports -1, and so
 *              does a list's own notifier;
 *   wKind      EX_CHANGE_CREATED, _MODIFIED, _DESTROYED (AddRef and RemoveRef reach reference
 *              lists as Created and Destroyed);
 *   ulValue    the value given with the routine;
 *   dwArgument the changed-field mask (EX_FIELD...), 0xFFFFFFFF for Destroyed.
 * A list also keeps a notifier on the item of its folder: it is called with hItem NULL and
 * nIndex -1 when the folder item itself changes (Modified) or goes (Destroyed; the list then
 * stays readable but takes in no more changes).
 *
 * What reaches a process, and how:
 *   - its own changes at the end of the call that made them, other processes' changes at its
 *     next EXBoardRefresh (in the order they were made; a change attributed to user 1, as a
 *     write with fAsSystem is, comes back through the refresh in the writing process too);
 *   - Created: the item goes into every list of its folder that shows it, at its place in the
 *     list's sort order (equal keys: before the existing ones). A list fetched only in part
 *     fetches forward to an item that sorts beyond it and calls the routine of the handle
 *     fetched for it; its count includes the item at once;
 *   - Modified: the handles of the item hear it (a rename does not move the item within its
 *     list; EXItemIteratorSort orders a list again); a move to another folder takes the item
 *     out of the lists of folder contents (reported as Modified with EX_FIELD_PARENT from the
 *     slot it occupied), and a Created follows in the new folder;
 *   - Destroyed: list handles are taken out and freed after the call; a handle of the
 *     application's keeps its last copy (orphaned);
 *   - an access change that lets the user see an item brings it into the lists as Created, also
 *     when it was hidden when the list was fetched; one that hides it is delivered as Destroyed
 *     for the item and the cached items below it, children first;
 *   - unread marks changing come as Modified with exactly EX_FIELD_UNREADONLY.
 * Routines run inside calls of this library and may call it again, also to release the handle
 * or list they are told about, to create items (delivered in the same send, after what was
 * queued) or to close the catalog (it closes when the call that ran the routine returns).
 */
typedef void (*EX_ITEMNOTIFIER)(ITEM_OBJECT* hItem, ITEM_ITERATOR* pIterator, long nIndex,
                                uint16_t wKind, uintptr_t ulValue, uint32_t dwArgument);

/* The catalog's default notifier routine and value are the item contexts A and B given to
 * EXBoardOpen / EXBoardCreate (A: an EX_ITEMNOTIFIER cast to uintptr_t, or 0 for none). Pass
 * EX_DEFAULT_NOTIFIER / EX_DEFAULT_VALUE where a call says they stand for the defaults. */
#define EX_DEFAULT_NOTIFIER ((EX_ITEMNOTIFIER)(intptr_t)-1)
#define EX_DEFAULT_VALUE ((uintptr_t)-1)

/* ---- Item operations ---------------------------------------------------------------------- */

/* A new detached handle with a private copy made from pInfo (NULL: all clear). Blanks that run
 * to the end of itemname, itemdescription, attnamepath and folderlocationnamepath are cut off;
 * the folder fields are not taken (give a folder its folder part with EXItemObjectSetFolder).
 * Status: EXSM_OUT_OF_MEMORY (NULL). */
CATSTORE_API ITEM_OBJECT* EXItemNew(EXSM_STATUS* status, const EX_ITEMINFO* pInfo);
/* Stores a detached handle's item under hParent (NULL: the item's own itemparentid), writes its
 * Created change entry and attaches the handle, with the catalog's default notifier. Access
 * level 0 takes the parent's access pair; level 3 with id 0 the owner's id. The item id is
 * chosen by the store when 0 (else the next free one from it up).
 * Status: EXSM_INVALID_HANDLE (catalog, parent, or a handle that is not detached),
 * EXSM_DOES_NOT_EXIST (no such parent), EXSM_ALREADY_EXISTS, EXSM_LOCK_ERROR. On failure the
 * handle stays detached and unchanged. */
CATSTORE_API void EXItemCreate(BOARD_OBJECT* hbrd, ITEM_OBJECT* hParent, ITEM_OBJECT* hItem,
                               EXSM_STATUS* status);
/* Stores the items of an array of descriptions under hParent in one go (Created entries and
 * notifications as EXItemCreate; no handles). Returns the number stored; on a failure the items
 * stored before it stay. Status as EXItemCreate. */
typedef struct EX_ITEMINFOARRAY {
    uint16_t wLower, wUpper; /* aInfo holds wUpper - wLower + 1 descriptions */
    EX_ITEMINFO aInfo[1];
} EX_ITEMINFOARRAY;
CATSTORE_API int EXItemBulkCreate(BOARD_OBJECT* hbrd, ITEM_OBJECT* hParent,
                                  const EX_ITEMINFOARRAY* pItems, EXSM_STATUS* status);
/* Fills pInfo from the handle's view. A call made while another EXItemGetInfo runs (from a box
 * handler) shows "Recursion detected in EXItemGetInfo!" and fills nothing (status 0). */
CATSTORE_API void EXItemGetInfo(ITEM_OBJECT* hItem, EX_ITEMINFO* pInfo, EXSM_STATUS* status);
/* Writes the parts the field flags select. A handle whose copy is older than the stored item
 * gives EXSM_ITEM_HAS_CHANGED (EXItemRefresh, change again, write again). With fAsSystem the
 * change is attributed to user 1 and reaches this process too through EXBoardRefresh.
 * Status: EXSM_INVALID_HANDLE, EXSM_ITEM_HAS_CHANGED, EXSM_DOES_NOT_EXIST, EXSM_ALREADY_EXISTS,
 * EXSM_LOCK_ERROR. On success the handle shares the cached copy again. */
CATSTORE_API void EXItemSetInfo(ITEM_OBJECT* hItem, uint32_t fAsSystem, EXSM_STATUS* status);
/* The item's id and name; 0 and "" for an invalid handle. */
CATSTORE_API uint32_t EXItemGetID(ITEM_OBJECT* hItem);
CATSTORE_API size_t EXItemGetName(ITEM_OBJECT* hItem, char* pchBuffer, size_t cchBuffer);
/* A second handle on the same item (a private copy is copied). EX_DEFAULT_NOTIFIER and
 * EX_DEFAULT_VALUE stand for the catalog's defaults. Status: EXSM_INVALID_HANDLE,
 * EXSM_OUT_OF_MEMORY. */
CATSTORE_API ITEM_OBJECT* EXItemAcquire(ITEM_OBJECT* hItem, EX_ITEMNOTIFIER pfnNotifier,
                                        uintptr_t ulValue, EXSM_STATUS* status);
/* Ends a handle the application owns (any attached, detached or orphaned one); a handle that
 * belongs to a list is left alone. Returns 0. Status: EXSM_INVALID_HANDLE. */
CATSTORE_API int EXItemRelease(ITEM_OBJECT* hItem, EXSM_STATUS* status);
/* Reads the view again. Status: EXSM_ITEM_DELETED when the item is gone (its notifiers heard
 * Destroyed) or the user may no longer see it, EXSM_INVALID_HANDLE, EXSM_LOCK_ERROR. */
CATSTORE_API void EXItemRefresh(ITEM_OBJECT* hItem, EXSM_STATUS* status);
/* Marks the item read for the current user, and with it every marked item whose mark names it as
 * parent, and theirs, each reported once (the item first); also when the item has no mark of its
 * own. An item without marks below it and without one of its own changes nothing. */
CATSTORE_API void EXItemMarkAsRead(ITEM_OBJECT* hItem, uint32_t dwUnused, EXSM_STATUS* status);
/* A new handle on the item's folder. Status: EXSM_DOES_NOT_EXIST for an item at the top. */
CATSTORE_API ITEM_OBJECT* EXItemGetParent(ITEM_OBJECT* hItem, EXSM_STATUS* status);
/* The access pair as one value: level in the low 16 bits, group or user id in the high 16. Set
 * changes the view only; a later EXItemSetInfo with EX_FIELD_ACCESS stores it. */
CATSTORE_API void EXItemGetAccess(ITEM_OBJECT* hItem, uint32_t* pdwAccess, EXSM_STATUS* status);
CATSTORE_API void EXItemSetAccess(ITEM_OBJECT* hItem, const uint32_t* pdwAccess,
                                  EXSM_STATUS* status);
/* Finds: a new handle with the notifier given (ulValue 0: the catalog's default routine and
 * value). Status: EXSM_DOES_NOT_EXIST, EXSM_INVALID_HANDLE, EXSM_OUT_OF_MEMORY. */
CATSTORE_API ITEM_OBJECT* EXItemFindByID(BOARD_OBJECT* hbrd, uint32_t dwItemID,
                                         EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                         EXSM_STATUS* status);
/* By the attachment's resource id and path (letter case does not matter), or by the
 * repository's resource id and location (exactly as stored). */
typedef struct EX_ITEMLOCATOR {
    uint32_t dwResourceID;
    const char* pszText;
} EX_ITEMLOCATOR;
CATSTORE_API ITEM_OBJECT* EXItemFindByAttachmentName(BOARD_OBJECT* hbrd,
                                                     const EX_ITEMLOCATOR* pLocator,
                                                     EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                                     EXSM_STATUS* status);
CATSTORE_API ITEM_OBJECT* EXItemFindByRepository(BOARD_OBJECT* hbrd, const EX_ITEMLOCATOR* pLocator,
                                                 EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                                 EXSM_STATUS* status);

/* ---- Item lists --------------------------------------------------------------------------- */

/* Sort codes: bit 0 set = descending. Any other code counts as EX_SORT_NAME. */
#define EX_SORT_NAME 2            /* name without regard to letter case */
#define EX_SORT_MODIFIED 4        /* last-modified time */
#define EX_SORT_STATUS 8          /* status */
#define EX_SORT_DUEDATE 512       /* due date */
#define EX_SORT_REPOSITORY 0x8000 /* the repository's modification time */
#define EX_SORT_DESCENDING 1

/* A handle array for batch moves: capacity wUpper - wLower + 1. */
typedef struct EX_ITEMARRAY {
    uint16_t wLower, wUpper;
    ITEM_OBJECT* ahItems[1];
} EX_ITEMARRAY;

/*
 * Lists of a folder's items (types with bit 0 or 2 set) or sub-folders, in a sort order,
 * fetched from the catalog as the application moves through them (all at once with
 * fFetchAll). A list stays live: creates, changes, moves and destroys, this process's at once
 * and other processes' at each EXBoardRefresh, insert, remove and notify its handles. Items the
 * current user may not see are left out as they are met, so EXItemIteratorCount is an
 * estimate until the list is complete. A list released without the final flag is parked and an
 * equal request (same folder, kind and folder-type filter) gets it back without reading the
 * catalog. dwFolderTypeFilter: 0 every folder, else bit (FOLDERTYPE mod 32) must be set.
 * Status: EXSM_INVALID_HANDLE, EXSM_FOLDER_REQUIRED, EXSM_OUT_OF_MEMORY, EXSM_LOCK_ERROR.
 */
CATSTORE_API ITEM_ITERATOR* EXFolderGetItems(BOARD_OBJECT* hbrd, ITEM_OBJECT* hFolder,
                                             int fFetchAll, uint16_t wSortCode,
                                             EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                             EXSM_STATUS* status);
CATSTORE_API ITEM_ITERATOR* EXFolderGetFolders(BOARD_OBJECT* hbrd, ITEM_OBJECT* hFolder,
                                               int fFetchAll, uint16_t wSortCode,
                                               uint32_t dwFolderTypeFilter,
                                               EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                               EXSM_STATUS* status);
/* 1 when the folder shows at least one sub-folder. */
CATSTORE_API int EXFolderHasFolders(BOARD_OBJECT* hbrd, ITEM_OBJECT* hFolder,
                                    uint32_t dwFolderTypeFilter, EXSM_STATUS* status);

/* Iterator calls take a released list like NULL: 0, -1 or NULL and nothing happens. */
CATSTORE_API long EXItemIteratorCount(ITEM_ITERATOR* pIter);
CATSTORE_API ITEM_ITERATOR* EXItemIteratorReset(ITEM_ITERATOR* pIter);
CATSTORE_API long EXItemIteratorGetIndex(ITEM_ITERATOR* pIter);
CATSTORE_API ITEM_ITERATOR* EXItemIteratorSetIndex(ITEM_ITERATOR* pIter, long nIndex);
CATSTORE_API ITEM_OBJECT* EXItemIteratorCurrent(ITEM_ITERATOR* pIter);
CATSTORE_API ITEM_OBJECT* EXItemIteratorFirst(ITEM_ITERATOR* pIter);
CATSTORE_API ITEM_OBJECT* EXItemIteratorLast(ITEM_ITERATOR* pIter);
CATSTORE_API ITEM_OBJECT* EXItemIteratorNext(ITEM_ITERATOR* pIter);
CATSTORE_API ITEM_OBJECT* EXItemIteratorPrev(ITEM_ITERATOR* pIter);
/* Delivers the next handles into pArray (NULL: fetches the whole list); returns how many. */
CATSTORE_API int EXItemIteratorGetNextItems(ITEM_ITERATOR* pIter, EX_ITEMARRAY* pArray);
/* Delivers the handles before the current one, in list order; returns how many. */
CATSTORE_API int EXItemIteratorGetPrevItems(ITEM_ITERATOR* pIter, EX_ITEMARRAY* pArray);
CATSTORE_API int EXItemIteratorSort(ITEM_ITERATOR* pIter, uint16_t wSortCode);
/* 1 for folder lists (items or sub-folders), 0 for reference lists and NULL. */
CATSTORE_API int EXItemIteratorIsParentChild(ITEM_ITERATOR* pIter);
/* Ends the list (fFinal 1) or parks it for reuse; handles taken from it end with it. NULL. */
CATSTORE_API ITEM_ITERATOR* EXItemIteratorRelease(ITEM_ITERATOR* pIter, int fFinal);

/* ---- Tree operations ---------------------------------------------------------------------- */

/* Destroys the item and everything below it, children before their folder (a folder's children
 * in name order), one Destroyed change entry per item; references to and from the destroyed
 * items go with them (no RemoveRef entries, their data released), and catalog and user slots
 * naming them are cleared. A large tree commits in slices of about 3 seconds so that other
 * processes get their turn; a failure keeps what earlier slices committed, and only that is
 * delivered. A repository record that another attachment still names stays. Returns NULL when
 * the item was destroyed (the handle is freed unless it belongs to a list), else the handle.
 * The item with id 1 cannot be destroyed.
 * Status: EXSM_INVALID_HANDLE, EXSM_ACCESS_DENIED (item 1), EXSM_ITEM_HAS_CHANGED,
 * EXSM_DOES_NOT_EXIST (another process destroyed it), EXSM_LOCK_ERROR. */
CATSTORE_API ITEM_OBJECT* EXItemDestroy(ITEM_OBJECT* hItem, EXSM_STATUS* status);
/* Makes an item a folder with a folder record of its own (nothing for a folder): every list
 * shows it anew as a folder (Destroyed, then Created). hItem goes on as a handle on the folder;
 * other handles on the item hear Destroyed and are left with their last copy.
 * Status: EXSM_INVALID_HANDLE, EXSM_ITEM_HAS_CHANGED, EXSM_DOES_NOT_EXIST (no parent, or the
 * item is gone); nothing changes on failure. */
CATSTORE_API void EXItemToFolder(ITEM_OBJECT* hItem, EXSM_STATUS* status);
/* Moves the item into another folder in one transaction (the caller's, when one is open).
 * The new parent must be a folder that is neither the item nor below it; nothing changes
 * otherwise. Only ITEMPARENTID of the stored record is written, and only when hItem's copy is
 * as current as the stored record. Lists of the old folder lose the item, lists of the new one
 * take it. Status: EXSM_INVALID_HANDLE, EXSM_FOLDER_REQUIRED, EXSM_DOES_NOT_EXIST,
 * EXSM_ITEM_HAS_CHANGED. */
CATSTORE_API void EXItemSetParent(ITEM_OBJECT* hItem, ITEM_OBJECT* hNewParent, EXSM_STATUS* status);
/* Copies the item, and a folder with everything below it, into hTarget in one transaction:
 * new ids, owner 0, the current user as last modifier, EX_ATTR_REFERENCED cleared, its own
 * strings, folder, attachment and repository records; one Created entry per copy, parents
 * before children. A target inside the source's own subtree copies the subtree as it was
 * before the copy began. Status: EXSM_INVALID_HANDLE, EXSM_FOLDER_REQUIRED, EXSM_DOES_NOT_EXIST,
 * EXSM_LOCK_ERROR; nothing is stored on failure. */
CATSTORE_API void EXItemCopy(ITEM_OBJECT* hItem, ITEM_OBJECT* hTarget, EXSM_STATUS* status);
/* The set memberships of a move without its change entries or notifications: add takes the
 * item out of whatever folder holds it and makes it a member of the folder (and its parent id
 * the folder's), under the checks of EXItemSetParent; remove takes it out of whatever folder
 * holds it and leaves its parent id. Either way the item stays in the catalog's set of all
 * items. Status: EXSM_INVALID_HANDLE, EXSM_FOLDER_REQUIRED, EXSM_DOES_NOT_EXIST,
 * EXSM_ITEM_HAS_CHANGED (add). */
CATSTORE_API void EXFolderAddItem(ITEM_OBJECT* hFolder, ITEM_OBJECT* hItem, EXSM_STATUS* status);
CATSTORE_API void EXFolderRemoveItem(ITEM_OBJECT* hFolder, ITEM_OBJECT* hItem, EXSM_STATUS* status);

/* ---- References --------------------------------------------------------------------------- */

/* Reference data: cbData bytes (at most 65535) in a movable block at pData. */
typedef struct EX_REFINFO {
    uint32_t cbData;
    void* pData;
} EX_REFINFO;
/* A reference from hSource to hDest, with optional data. Two adds make two references, told
 * apart by their tags. With fAsSystem the change is attributed to user 1 and reaches this
 * process through EXBoardRefresh. A reference from a folder of folder type 11 sets bit
 * EX_ATTR_REFERENCED in the destination's attributes while one exists (a Modified change with
 * exactly EX_FIELD_REFMARKER, attributed like the reference; the handle's copy takes the new bit
 * and stays writable). Status: EXSM_INVALID_HANDLE (also for handles of two catalogs, or data
 * NULL with a count), EXSM_ITEM_HAS_CHANGED, EXSM_DOES_NOT_EXIST (an item destroyed meanwhile;
 * nothing is stored), EXSM_LOCK_ERROR. */
#define EX_ATTR_REFERENCED 0x0004u
CATSTORE_API void EXItemAddReference(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest, EXSM_STATUS* status,
                                     const void* pData, uint16_t cbData, uint32_t fAsSystem,
                                     uint32_t dwUnused);
/* 1 when hSource refers to hDest. With fTag the first such reference becomes hDest's tag, so
 * that a following remove or data call acts on exactly that one. Not found: 0, status 0. */
CATSTORE_API int EXItemHasReference(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest, int fTag,
                                    EXSM_STATUS* status);
/* Removes the reference a tag names (hDest's, else hSource's: a handle of a reference list, or
 * tagged by EXItemHasReference), or without a tag every reference from hSource to hDest, with
 * their data. A tag that names no live reference from hSource to hDest is refused.
 * Status: EXSM_ITEM_NOT_REFERENCED, EXSM_INVALID_HANDLE, EXSM_ITEM_HAS_CHANGED. */
CATSTORE_API void EXItemRemoveReference(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest,
                                        EXSM_STATUS* status);
/* Live lists of the items hItem refers to and of those that refer to it, one handle per
 * reference (tagged with it). Sort code 0: the order the references were made (a new one comes
 * last); other codes sort the whole list. Parked and revived like folder lists.
 * Status: EXSM_INVALID_HANDLE, EXSM_ITEM_HAS_CHANGED, EXSM_OUT_OF_MEMORY. */
CATSTORE_API ITEM_ITERATOR* EXItemGetReferences(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem,
                                                int fFetchAll, uint16_t wSortCode,
                                                EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                                EXSM_STATUS* status);
CATSTORE_API ITEM_ITERATOR* EXItemGetReferencers(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem,
                                                 int fFetchAll, uint16_t wSortCode,
                                                 EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                                 EXSM_STATUS* status);
/* The data of the reference a tagged handle names: a new block the caller frees with
 * EXItemRefInfoReset (count 0 and pData NULL when there is none). Set replaces it (count 0
 * removes it); no change entry. Status: EXSM_INVALID_HANDLE (no tag), EXSM_ITEM_NOT_REFERENCED
 * (the reference is gone, or is not one of the handle's item), EXSM_OUT_OF_MEMORY. A reset frees
 * only blocks handed out here; any other pointer is just cleared. */
CATSTORE_API void EXItemGetReferenceData(ITEM_OBJECT* hItem, EX_REFINFO* pInfo,
                                         EXSM_STATUS* status);
CATSTORE_API void EXItemSetReferenceData(ITEM_OBJECT* hItem, const EX_REFINFO* pInfo,
                                         EXSM_STATUS* status);
CATSTORE_API void EXItemRefInfoReset(EX_REFINFO* pInfo);

/* ---- Search and tree walks ---------------------------------------------------------------- */

/* Match flags of EX_SEARCH. */
#define EX_MATCH_RESPONSIBLE 0x0001u
#define EX_MATCH_MODIFIED 0x0002u
#define EX_MATCH_DUEDATE 0x0004u
#define EX_MATCH_STATUS 0x0008u
#define EX_MATCH_NAME 0x0010u
#define EX_MATCH_DESCRIPTION 0x0040u
#define EX_MATCH_NOTE 0x0080u
#define EX_MATCH_FILTER 0x0100u /* text the application's filter routine looks for */
/* Comparisons of the modified and due-date tests (v the item's value; 0 passes only
 * EX_COMPARE_OUTSIDE). */
#define EX_COMPARE_EQUAL 1     /* v = low */
#define EX_COMPARE_BEFORE 2    /* v < low */
#define EX_COMPARE_AFTER 3     /* v > low */
#define EX_COMPARE_BETWEEN 4   /* low <= v <= high */
#define EX_COMPARE_OUTSIDE 5   /* v < low or v > high */
#define EX_SEARCH_CASE 0x0001u /* wOptions: the text test respects letter case */

#pragma pack(push, 1)
typedef struct EX_SEARCH {
    uint32_t dwReserved;
    char szName[32]; /* carried, not matched */
    uint16_t wMatchFlags;
    uint32_t dwStartFolderID; /* 0: item 1 */
    char abReserved[260];
    int32_t fRecursive; /* non-zero: the start folder's whole subtree */
    uint32_t dwDueDateLow, dwDueDateHigh;
    uint16_t wDueDateTest;
    uint32_t dwModifiedLow, dwModifiedHigh;
    uint16_t wModifiedTest;
    uint16_t wStatusMask; /* STATUS AND mask must be non-zero */
    uint16_t wOptions;
    char szText[128];
    uint16_t wResponsible;
} EX_SEARCH;
#pragma pack(pop)

/* The application's test of a result whose text the store cannot search (EX_MATCH_FILTER):
 * 0 drops it from the results. */
typedef int (*EX_SEARCHFILTER)(const DB_ITEM* pItem, ITEM_OBJECT* hItem, uintptr_t ulValue);
/* The visible items below the start folder (and the start folder itself) that pass every
 * test of pSearch (NULL: every item), as a complete list sorted by wSortCode. The texts are
 * read up to their zero byte or the end of their array, whichever comes first. A result list
 * is live for the changes of its items and takes in new items that match and are in its start
 * folder (below it, when recursive); it is never parked. pfnFilter hears each result that only
 * EX_MATCH_FILTER admits (its DB_ITEM copy carries that field flag; the cached item does not).
 * Status: EXSM_INVALID_HANDLE, EXSM_DOES_NOT_EXIST (start folder), EXSM_FOLDER_REQUIRED (the
 * start item is no folder), EXSM_OUT_OF_MEMORY, mapped store failures (no list then). */
CATSTORE_API ITEM_ITERATOR* EXBoardFindItems(BOARD_OBJECT* hbrd, const EX_SEARCH* pSearch,
                                             uint16_t wSortCode, EX_SEARCHFILTER pfnFilter,
                                             EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                             EXSM_STATUS* status);
/* Calls the routine for the folder and then for each folder below it, a folder before the
 * folders in it, with a complete list of the folder's items (by modified time). A non-zero
 * result stops the walk and is returned. With fTransaction each call runs between
 * EXBoardBeginTransaction and EXBoardEndTransaction (EXBoardAbortTransaction after a non-zero
 * result): that groups the routine's calls, but every write is committed as it is made, so a
 * failing routine rolls nothing back. The sub-folders are taken as they were before the
 * routine is called: one the routine moves elsewhere or destroys is left out. */
typedef EXSM_STATUS (*EX_VISITFOLDER)(ITEM_OBJECT* hFolder, ITEM_ITERATOR* pItems,
                                      uintptr_t ulValue);
CATSTORE_API void EXFolderVisitFolders(ITEM_OBJECT* hFolder, int fTransaction,
                                       EX_VISITFOLDER pfnVisit, uintptr_t ulValue,
                                       EXSM_STATUS* status);
/* Breadth first over the folder tree: for each folder the routine hears (folder, its member
 * count, NULL, -1), then each visible item (folder, count, item, index 0, 1, ...), the items
 * as the folder held them before that first call; an item destroyed meanwhile is left out.
 * Both handles are valid during the call only. Setting *pStatus stops the walk; it becomes the
 * status. dwFlag must be 0. Status: EXSM_INVALID_HANDLE, EXSM_FOLDER_REQUIRED. */
typedef void (*EX_ENUMITEM)(ITEM_OBJECT* hFolder, long nCount, ITEM_OBJECT* hItem, long nIndex,
                            uintptr_t ulValue, EXSM_STATUS* pStatus);
CATSTORE_API void EXItemEnumItems(ITEM_OBJECT* hFolder, uint32_t dwFlag, EX_ENUMITEM pfnEnum,
                                  uintptr_t ulValue, EXSM_STATUS* status);

/* ---- Unread marks ------------------------------------------------------------------------- */

/* The set of a user's unread marks, held in memory from EXUnreadSetForUser to
 * EXUnreadSetFinalize (which writes it back). The catalog keeps its current user's set itself.
 * Status: EXSM_OUT_OF_MEMORY (the set comes back empty), mapped store failures; NULL only when
 * no set could be made at all. */
typedef struct UNREAD_SET UNREAD_SET;
CATSTORE_API UNREAD_SET* EXUnreadSetForUser(BOARD_OBJECT* hbrd, USER_OBJECT* hUser,
                                            EXSM_STATUS* status);
CATSTORE_API void EXUnreadSetFinalize(BOARD_OBJECT* hbrd, UNREAD_SET* pSet);
/* Drops the marks of items that no longer exist (and of their marked descendants), logging
 * "UNREAD: Error, Non-existent item detected, ID=..." for each. */
CATSTORE_API void EXUnreadSetVerify(BOARD_OBJECT* hbrd, UNREAD_SET* pSet, long lUnused);
/* The per-item routines of the unread set. */
CATSTORE_API EXSM_STATUS ProcessNewChangeEntry(unsigned long dwItemID, BOARD_OBJECT* hbrd);
CATSTORE_API int NotifyMarkAsRead(unsigned long dwItemID, BOARD_OBJECT* hbrd);
CATSTORE_API EXSM_STATUS VerifyNotifier(unsigned long dwItemID, void* pContext);

/* ---- Item handle accessors ---------------------------------------------------------------- */

/*
 * The accessors do no store work and write no log line. Getters show the handle's view (NULL or
 * 0 for an invalid handle); every setter first gives a handle that shares the cached copy a
 * private copy, so no other handle sees an unsaved change. Text setters take NULL as empty; to
 * store a change set its field flags (EXItemObjectSetItemFieldFlags) and call EXItemSetInfo.
 * C++ callers find the same accessors as members of ITEM_OBJECT.
 */
CATSTORE_API const EX_ITEM* EXItemObjectItem(const ITEM_OBJECT* hItem);
CATSTORE_API EX_ITEM* EXItemObjectSetItem(ITEM_OBJECT* hItem);
CATSTORE_API const EX_ATTACHMENT* EXItemObjectAttachment(const ITEM_OBJECT* hItem);
CATSTORE_API EX_ATTACHMENT* EXItemObjectSetAttachment(ITEM_OBJECT* hItem);
CATSTORE_API const EX_REPOSITORY* EXItemObjectRepository(const ITEM_OBJECT* hItem);
CATSTORE_API EX_REPOSITORY* EXItemObjectSetRepository(ITEM_OBJECT* hItem);
/* A shared block of zeros for an item without folder part; the setter makes the part. */
CATSTORE_API const EX_FOLDER* EXItemObjectFolder(const ITEM_OBJECT* hItem);
CATSTORE_API EX_FOLDER* EXItemObjectSetFolder(ITEM_OBJECT* hItem);
/* At most 63 (127) characters are kept; also sets EX_FIELD_ITEM. */
CATSTORE_API void EXItemObjectSetItemName(ITEM_OBJECT* hItem, const char* pszName);
CATSTORE_API void EXItemObjectSetItemDescription(ITEM_OBJECT* hItem, const char* pszDescription);
CATSTORE_API uint32_t EXItemObjectItemFieldFlags(const ITEM_OBJECT* hItem);
/* ORs the bits in (never clears one). */
CATSTORE_API void EXItemObjectSetItemFieldFlags(ITEM_OBJECT* hItem, uint32_t dwFlags);
/* The unread flags of the item's cached copy (EX_UNREAD_...); 0 without one. */
CATSTORE_API uint16_t EXItemObjectItemUnReadFlags(const ITEM_OBJECT* hItem);
CATSTORE_API const char* EXItemObjectItemNote(const ITEM_OBJECT* hItem);
CATSTORE_API void EXItemObjectSetItemNote(ITEM_OBJECT* hItem, const char* pszNote);
CATSTORE_API const char* EXItemObjectExtendedInfo(const ITEM_OBJECT* hItem);
CATSTORE_API void EXItemObjectSetExtendedInfo(ITEM_OBJECT* hItem, const char* pszText);
CATSTORE_API const char* EXItemObjectInstructions(const ITEM_OBJECT* hItem);
CATSTORE_API void EXItemObjectSetInstructions(ITEM_OBJECT* hItem, const char* pszText);
CATSTORE_API const char* EXItemObjectKeywords(const ITEM_OBJECT* hItem);
CATSTORE_API void EXItemObjectSetKeywords(ITEM_OBJECT* hItem, const char* pszText);
CATSTORE_API const char* EXItemObjectSubscribers(const ITEM_OBJECT* hItem);
CATSTORE_API void EXItemObjectSetSubscribers(ITEM_OBJECT* hItem, const char* pszText);
CATSTORE_API EX_BLOB EXItemObjectReposLocation(const ITEM_OBJECT* hItem);
CATSTORE_API void EXItemObjectSetReposLocation(ITEM_OBJECT* hItem, const EX_BLOB* pBlob);
CATSTORE_API EX_BLOB EXItemObjectReposPolicy(const ITEM_OBJECT* hItem);
CATSTORE_API void EXItemObjectSetReposPolicy(ITEM_OBJECT* hItem, const EX_BLOB* pBlob);
CATSTORE_API EX_BLOB EXItemObjectReposPrivate(const ITEM_OBJECT* hItem);
CATSTORE_API void EXItemObjectSetReposPrivate(ITEM_OBJECT* hItem, const EX_BLOB* pBlob);
CATSTORE_API const char* EXItemObjectAttachmentTopicName(const ITEM_OBJECT* hItem);
CATSTORE_API void EXItemObjectSetAttachmentTopicName(ITEM_OBJECT* hItem, const char* pszText);
CATSTORE_API const char* EXItemObjectFolderTopicName(const ITEM_OBJECT* hItem);
CATSTORE_API void EXItemObjectSetFolderTopicName(ITEM_OBJECT* hItem, const char* pszText);

/* ---- Users -------------------------------------------------------------------------------- */

/* Creates a user (names may repeat) and makes the user's eight built-in folders. A text longer
 * than its field (name 31, password 16 bytes, ...) is refused, never cut. pInfo->wUserID
 * receives the new id.
 * Status: EXSM_INVALID_HANDLE, EXSM_ALREADY_EXISTS (id in use), EXSM_CATALOG_NAME_TOO_LONG
 * (name, password or another text longer than its field), EXSM_LOCK_ERROR, EXSM_OUT_OF_MEMORY.
 * The user, its folders and their change entries are stored together or not at all: on a
 * failure nothing is stored and NULL is returned. */
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
CATSTORE_API int ChangeEntryNotifier(DB_CHANGEINFO* pChange, DB_ITEM* pItem, unsigned short wKind,
                                     BOARD_OBJECT* hbrd);
CATSTORE_API int ItemCopyNotifier(DB_CHANGEINFO* pChange, DB_ITEM* pItem, unsigned short wKind,
                                  BOARD_OBJECT* hbrd);

/* A change entry as stored (packed). */
#pragma pack(push, 1)
typedef struct EX_CHANGEENTRY {
    uint32_t changeaccess; /* access pair of the item: level low, id high */
    uint32_t changefields; /* field flags; the reference tag for AddRef, RemoveRef */
    uint32_t changeitemid;
    uint32_t changeparentid; /* the parent; for references the referring item */
    uint16_t changeuserid;
    uint16_t changekind; /* EX_CHANGE_... */
    uint32_t changetime;
    uint32_t changedata;
} EX_CHANGEENTRY;
#pragma pack(pop)
/* Takes in one entry that another process wrote (EXBoardRefresh calls it for each entry after
 * the user's position): entries the user may not see are left out, the unread marks follow, and
 * the change is queued for delivery. Always returns 1. */
CATSTORE_API int ProcessChangeEntry(EX_CHANGEENTRY* pEntry, unsigned short wUnused,
                                    BOARD_OBJECT* hbrd);

/* ---- Status texts ------------------------------------------------------------------------- */

/* The display text of a status ("Lock Error"); "" for a value without text. */
CATSTORE_API const char* EXStatusText(EXSM_STATUS status);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace catstore {
class CItemEntry;
struct CItemNotifier;
}  // namespace catstore

/* The item handle. Its fields belong to the library: C++ callers use the members below, which
 * are the accessors of the EXItemObject... functions (no checks, no log lines). */
struct ITEM_OBJECT {
    BOARD_OBJECT* hBoard = nullptr;
    catstore::CItemEntry* ItemEntry = nullptr; /* null: detached or orphaned */
    catstore::CItemNotifier* pNotifier = nullptr;
    DB_ITEM* pdbItem = nullptr;  /* the view: the entry's copy or a private one */
    uint32_t fIteratorOwned = 0; /* 1: belongs to a list */
    uint32_t dwReferenceTag = 0; /* the reference a reference-list handle shows */

    CATSTORE_API const EX_ITEM* Item() const;
    CATSTORE_API EX_ITEM* SetItem();
    CATSTORE_API const EX_ATTACHMENT* Attachment() const;
    CATSTORE_API EX_ATTACHMENT* SetAttachment();
    CATSTORE_API const EX_REPOSITORY* Repository() const;
    CATSTORE_API EX_REPOSITORY* SetRepository();
    CATSTORE_API const EX_FOLDER* Folder() const;
    CATSTORE_API EX_FOLDER* SetFolder();
    CATSTORE_API void SetItemName(const char* pszName);
    CATSTORE_API void SetItemDescription(const char* pszDescription);
    CATSTORE_API unsigned long ItemFieldFlags() const;
    CATSTORE_API void SetItemFieldFlags(unsigned long dwFlags);
    CATSTORE_API uint16_t ItemUnReadFlags() const;
    CATSTORE_API const char* ItemNote() const;
    CATSTORE_API void SetItemNote(const char* pszNote);
    CATSTORE_API const char* ExtendedInfo() const;
    CATSTORE_API void SetExtendedInfo(const char* pszText);
    CATSTORE_API const char* Instructions() const;
    CATSTORE_API void SetInstructions(const char* pszText);
    CATSTORE_API const char* Keywords() const;
    CATSTORE_API void SetKeywords(const char* pszText);
    CATSTORE_API const char* Subscribers() const;
    CATSTORE_API void SetSubscribers(const char* pszText);
    CATSTORE_API EX_BLOB ReposLocation() const;
    CATSTORE_API void SetReposLocation(const EX_BLOB& blob);
    CATSTORE_API EX_BLOB ReposPolicy() const;
    CATSTORE_API void SetReposPolicy(const EX_BLOB& blob);
    CATSTORE_API EX_BLOB ReposPrivate() const;
    CATSTORE_API void SetReposPrivate(const EX_BLOB& blob);
    CATSTORE_API const char* AttachmentTopicName() const;
    CATSTORE_API void SetAttachmentTopicName(const char* pszText);
    CATSTORE_API const char* FolderTopicName() const;
    CATSTORE_API void SetFolderTopicName(const char* pszText);
};
#endif

#endif /* CATSTORE_H */
