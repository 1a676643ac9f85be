/*
 * catdbu.h - the catalog database utilities: backup, restore, record-level check and repair,
 * and the key rebuild.
 *
 * A catalog is one database file (".vfc") with its lock file (".TAF") and its configuration
 * file (".ini") beside it. The utilities work on that file set:
 *
 *   UTBackUp    copies a consistent image of the catalog, and its configuration file, into a
 *               folder while other processes keep reading and writing it.
 *   UTRestore   puts such a copy back in place of a catalog that nobody has open. The catalog
 *               is replaced whole or not at all: it never holds half a restore.
 *   UTCheckFix  checks the database file and the catalog engine's own structures (set
 *               memberships, key entries, member counts) and, when asked, repairs them.
 *   DB_KEYBUILD rebuilds every key of a catalog (loaded by name during catalog upgrades).
 *
 * Every call answers an EXSM_STATUS (exsmstatus.h). Findings, repairs and failures are written
 * to the catalog's log file: the catalog path with its extension replaced by "log".
 *
 * The lock-manager index is the "LockMgr" value of the catalog's configuration file ("DBTuning"
 * section); the utilities take the catalog engine's open locks through that lock manager, so a
 * catalog in use is recognised whichever process has it open. An index the engine does not know
 * is answered with EXSM_INVALID_LOCK_MANAGER.
 *
 * The calls are not meant to run on two threads of one process at once (the progress routine
 * and work path are process-wide).
 */
#ifndef CATDBU_H
#define CATDBU_H

#include <stdint.h>

#include "exsmstatus.h"
#include "qnplatform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Progress routine types. */
#define DBU_PROGRESS_START 0   /* lValue: the number of steps that follow */
#define DBU_PROGRESS_STEP 1    /* lValue: the current step, 1 to the number of steps */
#define DBU_PROGRESS_MESSAGE 2 /* lValue: a const char* text to show at once */

/* Called during the work; answers a value whose low 16 bits are 1 to go on. Any other answer
 * to a step stops the work: the operation then fails and leaves its destination unchanged. */
typedef uint32_t (*DBUPROGRESSPROC)(int nType, intptr_t lValue);

/* Registers the progress routine for the whole process (NULL: none). */
QN_EXPORT void DBUSetProgress(DBUPROGRESSPROC pfnProgress);

/* Tells the utilities the folder of the running program. It is kept for DBUGetWorkPath only:
 * temporary files are always made beside the file they replace, never there. NULL clears it. */
QN_EXPORT void DBUSetWorkPath(const char* pszPath);
/* The path set by DBUSetWorkPath ("" when none). */
QN_EXPORT const char* DBUGetWorkPath(void);

/* Copies the catalog pszCatalog and its configuration file into the folder pszDestDir, which
 * must exist, under the catalog's own file name. The copy is written beside its final name and
 * renamed over it when complete, so an earlier backup stays whole until the new one is.
 * Other processes may keep the catalog open and change it meanwhile; the copy holds the state
 * of one moment. A catalog that a process holds exclusively (a repair, upgrade or restore in
 * progress) is not copied.
 * Returns: EXSM_SUCCESS; EXSM_DOES_NOT_EXIST (no such catalog or folder);
 *   EXSM_CATALOG_UNAVAILABLE (held exclusively elsewhere: no backup written);
 *   EXSM_INVALID_CATALOG_FILE (not a catalog); EXSM_INVALID_LOCK_MANAGER;
 *   EXSM_OUT_OF_DISK_SPACE; EXSM_CATALOG_BACKUP_FAILED (any other failure, see the log). */
QN_EXPORT EXSM_STATUS UTBackUp(const char* pszCatalog, const char* pszDestDir, int nLockMgr);

/* Restores the backup pszBackup (a file made by UTBackUp) into the folder pszDestDir, replacing
 * the catalog of the same file name there, and the catalog's configuration file when the
 * backup has one. The backup is checked first; the catalog is replaced by one rename, while
 * an exclusive open lock keeps every other process out.
 * Returns: EXSM_SUCCESS; EXSM_CATALOG_UNAVAILABLE (the catalog is open somewhere: nothing
 *   changed); EXSM_DOES_NOT_EXIST (no backup or no folder); EXSM_INVALID_CATALOG_FILE (the
 *   backup is not a catalog or is damaged: nothing changed); EXSM_INVALID_LOCK_MANAGER;
 *   EXSM_OUT_OF_DISK_SPACE; EXSM_CATALOG_RESTORE_FAILED (any other failure, see the log). */
QN_EXPORT EXSM_STATUS UTRestore(const char* pszBackup, const char* pszDestDir, int nLockMgr);

/* Checks the catalog pszCatalog: the database file (pages, rows, indexes) and the engine's
 * structures. With fRepair non-zero it repairs what it can. The catalog is held exclusively
 * for the check, so it fails when anyone else has the catalog open.
 * Returns: EXSM_SUCCESS (no errors); EXSM_CATALOG_REPAIRED (errors found, all repaired);
 *   EXSM_CATALOG_CORRUPTED (errors left); EXSM_CATALOG_UNAVAILABLE (open elsewhere);
 *   EXSM_DOES_NOT_EXIST; EXSM_INVALID_CATALOG_FILE (not a catalog at all);
 *   EXSM_INVALID_LOCK_MANAGER. */
QN_EXPORT EXSM_STATUS UTCheckFix(const char* pszCatalog, int fRepair, int nLockMgr);

/* Rebuilds every key of the catalog whose dictionary (".vfc") is pszDictionary: the database
 * indexes and the engine's key-entry tables. Needs the catalog to itself, like UTCheckFix.
 * Returns: EXSM_SUCCESS, EXSM_CATALOG_UNAVAILABLE, EXSM_DOES_NOT_EXIST,
 *   EXSM_INVALID_CATALOG_FILE, EXSM_INVALID_LOCK_MANAGER, EXSM_CATALOG_CORRUPTED (the rebuild
 *   failed; the catalog is as it was). */
QN_EXPORT EXSM_STATUS DB_KEYBUILD(const char* pszDictionary, int nLockMgr);

/* The type of DB_KEYBUILD, for callers that load it by name. */
typedef EXSM_STATUS (*DBUKEYBUILDPROC)(const char* pszDictionary, int nLockMgr);

#ifdef __cplusplus
}
#endif

#endif /* CATDBU_H */
