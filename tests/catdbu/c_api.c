/* The public header of the catalog utilities, used from plain C. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "catdbu.h"

static long g_nSteps;
static long g_nLastStep;

static uint32_t CountProgress(int nType, intptr_t lValue) {
    if (nType == DBU_PROGRESS_START) {
        g_nSteps = (long)lValue;
    } else if (nType == DBU_PROGRESS_STEP) {
        g_nLastStep = (long)lValue;
    }
    return 1;
}

/* Backs up pszCatalog into pszDir, checks the backup and restores it into pszRestoreDir.
 * Returns 0 when every call answered as documented, else the number of the failed step. */
int CatdbuCApiRoundTrip(const char* pszCatalog, const char* pszDir, const char* pszRestoreDir) {
    char szBackup[4096];
    const char* pszName = strrchr(pszCatalog, '/');
    DBUKEYBUILDPROC pfnKeyBuild = &DB_KEYBUILD;
    DBUSetProgress(&CountProgress);
    DBUSetWorkPath(pszDir);
    if (strcmp(DBUGetWorkPath(), pszDir) != 0) {
        return 1;
    }
    if (UTBackUp(pszCatalog, pszDir, 0) != EXSM_SUCCESS) {
        return 2;
    }
    if (g_nSteps < 1 || g_nLastStep != g_nSteps) {
        return 3;
    }
    snprintf(szBackup, sizeof szBackup, "%s%s", pszDir, pszName != NULL ? pszName : "/");
    if (UTCheckFix(szBackup, 0, 0) != EXSM_SUCCESS) {
        return 4;
    }
    if (pfnKeyBuild(szBackup, 1) != EXSM_SUCCESS) {
        return 5;
    }
    if (UTRestore(szBackup, pszRestoreDir, 0) != EXSM_SUCCESS) {
        return 6;
    }
    if (UTCheckFix(NULL, 1, 0) != EXSM_DOES_NOT_EXIST) {
        return 7;
    }
    DBUSetProgress(NULL);
    DBUSetWorkPath(NULL);
    return 0;
}
