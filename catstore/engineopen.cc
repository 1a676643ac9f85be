// The engine-open steps shared by create, open and connect: the lock-manager transport, the
// engine's paths and cache, the lock-manager user id, the open itself and the lock time-out.
#include "engineopen.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#include "config.h"
#include "engine.h"
#include "registry.h"
#include "trace.h"

namespace catstore {

static const int s_anTransports[9] = {4, 4, 3, 2, 7, 6, 12, 5, 13};

static DBStatus MapOpenStatus(int rc) {
    switch (rc) {
        case S_OKAY:
            return DBSuccess;
        case S_UNAVAIL:
            return DBCatalogUnavailable;
        case S_DBALREADYOPEN:
            return DBEngineAlreadyOpen;
        case S_NOLOCKMGR:
        case S_TAFINVALID:
            return DBLockManagerNotFound;
        case S_NOMEMORY:
            return DBOutOfMemory;
        case S_NAMELEN:
            return DBNameTooLong;
        case S_INVDB:
            return DBInvalidCatalogFile;
        default:
            return MapEngineStatus(rc);
    }
}

// Picks the lock-manager user id for an open: the user's own when free, else the first free
// one with a two-digit suffix (SYSTEM01 ... SYSTEMff). Other users get the same treatment as
// SYSTEM, so that one user may have the catalog open in two processes.
static DBStatus ChooseUserID(CDbContext* pdb, const std::string& strUserID,
                             std::string* pstrChosen) {
    *pstrChosen = strUserID;
    int rc = pdb->TestUserID(*pstrChosen);
    if (rc == S_BADUSERID) {
        return DBUserIDRejected;
    }
    if (rc == S_DUPLICATE) {
        // The system user's own id is "system" (its name in lower case); its further sessions
        // are named after SYSTEM.
        std::string strBaseId =
            strcasecmp(strUserID.c_str(), "SYSTEM") == 0 ? "SYSTEM" : strUserID.substr(0, 13);
        for (int i = 1; i <= 255 && rc == S_DUPLICATE; ++i) {
            char achId[24];
            std::snprintf(achId, sizeof achId, "%s%02x", strBaseId.c_str(), i);
            *pstrChosen = achId;
            rc = pdb->TestUserID(*pstrChosen);
        }
        if (rc != S_OKAY) {
            return rc == S_DUPLICATE ? DBUserIDRejected : MapOpenStatus(rc);
        }
    } else if (rc != S_OKAY) {
        return MapOpenStatus(rc);
    }
    return DBSuccess;
}

DBStatus EngineOpen(BOARD_OBJECT* hbrd, const std::string& strUserID, const char* pszMode) {
    CatalogPath path;
    DBStatus st = SplitCatalogPath(hbrd->strPath, &path);
    if (st != DBSuccess) {
        return st;
    }
    if (!IsClientRegistered(hbrd->pClientEntry)) {
        return DBClientMissing;
    }
    std::string strFile = path.Full();
    struct stat sb;
    if (::stat(strFile.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) {
        return DBCatalogMissing;
    }
    auto* pdb = new CDbContext;
    hbrd->pdb = pdb;
    pdb->pClientEntry = hbrd->pClientEntry;
    pdb->CreateTask();
    std::string strDir = path.strDir.empty() ? "." : path.strDir;
    int rc = pdb->SetPaths(strDir, strDir + "/" + path.strBase + ".TAF");
    if (rc != S_OKAY) {
        return MapOpenStatus(rc);
    }
    for (;;) {
        int nLockMgr = static_cast<int>(hbrd->nLockMgr);
        int nTransport = nLockMgr >= 0 && nLockMgr <= 8 ? s_anTransports[nLockMgr] : -1;
        rc = pdb->SetLockManager(nTransport);
        if (rc == S_OKAY) {
            break;
        }
        if (rc == S_BADTRANSPORT && nTransport >= 0) {
            return DBInvalidLockManager;
        }
        if (hbrd->nLockMgr == 1) {
            return DBLockManagerRefused;
        }
        hbrd->nLockMgr = 1;
    }
    std::string strBase = path.strBase;
    for (char& ch : strBase) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    rc = pdb->SetDatabaseName(strBase);
    if (rc != S_OKAY) {
        return MapOpenStatus(rc);
    }
    pdb->SetOpenFiles(13);
    int nPages = static_cast<int>(TuningDBCachePages());
    if (nPages < 2) {
        nPages = 64;
    }
    for (;;) {
        rc = pdb->SetCachePages(nPages, 4);
        if (rc != S_NOMEMORY || nPages <= 2) {
            break;
        }
        nPages /= 2;
    }
    // Testing a name and opening with it are two steps: a process opening at the same moment
    // may take the chosen name in between, and the open then answers 3. Choose again then.
    for (int nAttempt = 0;; ++nAttempt) {
        std::string strChosen;
        DBStatus stChoose = ChooseUserID(pdb, strUserID, &strChosen);
        if (stChoose != DBSuccess) {
            return stChoose;
        }
        rc = pdb->SetUserID(strChosen);
        if (rc != S_OKAY) {
            return rc == S_BADUSERID ? DBUserIDRejected : MapOpenStatus(rc);
        }
        rc = pdb->Open(path.strBase + "." + path.strExt, pszMode);
        if (rc == S_OKAY) {
            break;
        }
        if (rc != S_DUPLICATE || nAttempt >= 15) {
            return MapOpenStatus(rc);
        }
    }
    pdb->SetSharedOptions();
    uint32_t dwTimeout = TuningDBTimeout();
    if (dwTimeout >= 1) {
        pdb->SetLockTimeout(static_cast<int>(dwTimeout));
    }
    return DBSuccess;
}

const char* ModeString(int nOpenMode) {
    return nOpenMode == 0 ? "o" : (nOpenMode == 2 ? "x" : "s");
}

}  // namespace catstore
