#include "locks.h"

#include <cstdio>
#include <string>

#include "board.h"
#include "frame.h"
#include "qnplatform.h"
#include "trace.h"

namespace catstore {

static const char* const BUSY_TEXT =
    "The catalog is currently busy.  Would you like to retry this operation?\r\n\r\nPlease see "
    "the Troubleshooting section of README.HLP for additional information.";
static const char* const BUSY_CAPTION = "Zelto Catalog Timeout";

void ReportPacket(const LockEntry* pEntries, size_t cEntries, const char* pszTitle) {
    std::string strText = "Current Lock Packet Contents...\r\n\r\n";
    for (size_t i = 0; i < cEntries; ++i) {
        char achLine[48];
        std::snprintf(achLine, sizeof achLine, "\t'%c' -> %d\r\n", pEntries[i].chType,
                      static_cast<int>(static_cast<int16_t>(pEntries[i].nCode & 0xFFFF)));
        strText += achLine;
    }
    ReportText(strText.c_str(), pszTitle);
}

static DBStatus TakeMissingLocks(CDbContext* pdb, const LockEntry* pEntries, size_t cEntries,
                                 bool fReport = true) {
    if (fReport) {
        ReportPacket(pEntries, cEntries, "Partial DB Locks Detected");
    }
    for (size_t i = 0; i < cEntries; ++i) {
        char chState = 'f';
        int rc = pdb->LockState(pEntries[i].nCode, &chState);
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        if (chState == 'f' || (chState == 'r' && pEntries[i].chType == 'w')) {
            rc = pdb->LockOne(pEntries[i].nCode, pEntries[i].chType);
            if (rc == S_UNAVAIL) {
                return DBLockRefused;
            }
            if (rc != S_OKAY) {
                return MapEngineStatus(rc);
            }
        }
    }
    return DBSuccess;
}

DBStatus RequestLocks(CDbContext* pdb, const LockEntry* pEntries, size_t cEntries) {
    for (;;) {
        int rc = pdb->LockPacket(pEntries, cEntries);
        if (rc == S_OKAY) {
            return DBSuccess;
        }
        if (rc == S_UNAVAIL) {
            int nAnswer = ShowBox(BUSY_TEXT, BUSY_CAPTION,
                                  QN_MB_RETRYCANCEL | QN_MB_ICONINFORMATION | QN_MB_TASKMODAL);
            if (nAnswer == QN_IDRETRY) {
                ReportPacket(pEntries, cEntries, "Continuing After Timeout");
                continue;
            }
            // Cancel, or a box that could not be shown at all.
            ReportPacket(pEntries, cEntries, "Abandoning After Timeout");
            return DBLockRefused;
        }
        if (rc == S_NOTFREE) {
            return TakeMissingLocks(pdb, pEntries, cEntries);
        }
        return MapEngineStatus(rc);
    }
}

CStoreTransaction::CStoreTransaction(CDbContext* pdb, const char* pszTag,
                                     const std::vector<LockEntry>& packet)
    : m_pdb(pdb) {
    if (!pdb->InTransaction()) {
        int rc = pdb->Begin(pszTag);
        if (rc != S_OKAY) {
            m_status = MapEngineStatus(rc);
            m_fDone = true;
            return;
        }
        m_fOwn = true;
    }
    m_status = RequestLocks(pdb, packet);
}

CStoreTransaction::~CStoreTransaction() {
    if (m_fOwn && !m_fDone) {
        m_pdb->Abort();
    }
}

DBStatus CStoreTransaction::Finish(DBStatus result) {
    if (result == DBSuccess) {
        result = m_status;
    }
    if (!m_fOwn || m_fDone) {
        m_fDone = true;
        return result;
    }
    m_fDone = true;
    if (result == DBSuccess) {
        int rc = m_pdb->End();
        if (rc != S_OKAY) {
            m_pdb->Abort();
            return MapEngineStatus(rc);
        }
        return DBSuccess;
    }
    m_pdb->Abort();
    return result;
}

CStoreRead::CStoreRead(CDbContext* pdb, const std::vector<LockEntry>& packet) : m_pdb(pdb) {
    // A read inside a read takes only what the outer one lacks and leaves the release to it, so
    // that a batch of reads costs one lock request and sees one snapshot.
    if (pdb->ReadDepth() > 0 && !pdb->InTransaction()) {
        m_status = TakeMissingLocks(pdb, packet.data(), packet.size(), false);
    } else {
        m_status = RequestLocks(pdb, packet);
    }
    ++pdb->ReadDepth();
}

CStoreRead::~CStoreRead() {
    if (--m_pdb->ReadDepth() == 0 && (m_pdb->State() & 5) == 0) {
        m_pdb->FreeAllLocks();
    }
}

CTransactionPause::CTransactionPause(CDbContext* pdb, const char* pszTag,
                                     std::vector<LockEntry> packet)
    : m_pdb(pdb), m_pszTag(pszTag), m_packet(std::move(packet)) {
    m_dwStartSeconds = QNGetTickCount() / 1000;
}

int CTransactionPause::Check() {
    uint32_t dwNow = QNGetTickCount() / 1000;
    if (dwNow - m_dwStartSeconds <= TRANSACTION_PAUSE_SECONDS) {
        return S_OKAY;
    }
    int rc = m_pdb->End();
    if (rc == S_OKAY) {
        rc = m_pdb->Begin(m_pszTag);
    }
    if (rc == S_OKAY) {
        rc = m_pdb->LockPacket(m_packet.data(), m_packet.size());
    }
    m_dwStartSeconds = QNGetTickCount() / 1000;
    ++m_nPauses;
    return rc;
}

std::vector<LockEntry> Packet(std::initializer_list<int32_t> codes, char chType) {
    std::vector<LockEntry> v;
    v.reserve(codes.size());
    for (int32_t n : codes) {
        v.push_back({n, chType});
    }
    return v;
}

std::vector<LockEntry> operator+(std::vector<LockEntry> a, const std::vector<LockEntry>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<LockEntry> VarStringPacket(char chType) {
    return Packet(
        {DBS_VARSTRING, DB_VARSTRINGREC, DB_LARGEDATA, DB_LARGEVAR, DB_SMALLDATA, DB_SMALLVAR},
        chType);
}

}  // namespace catstore

using namespace catstore;

namespace catstore {

// The start of the outermost exported transaction (tick count), shared by the process.
static uint32_t s_dwTransactionStart = 0;

void BeginTransaction(BOARD_OBJECT* hbrd, const char* pszName) {
    if (hbrd->nTransactionDepth++ == 0) {
        LogLine(LOG_STORE, "EXSM: EXBoardBeginTransaction ('%s')...\r\n", pszName ? pszName : "");
        s_dwTransactionStart = QNGetTickCount();
    }
}

void EndTransaction(BOARD_OBJECT* hbrd) {
    uint32_t dwNow = QNGetTickCount();
    if (hbrd->nTransactionDepth-- == 1) {
        uint32_t dwOps = dwNow - s_dwTransactionStart;
        uint32_t dwCommit = QNGetTickCount() - dwNow;
        LogLine(LOG_STORE,
                "EXSM: EXBoardEndTransaction (Operations=%lu.%03u secs, Commit=%lu.%03u "
                "secs)\r\n",
                static_cast<unsigned long>(dwOps / 1000), dwOps % 1000,
                static_cast<unsigned long>(dwCommit / 1000), dwCommit % 1000);
    }
}

void AbortTransaction(BOARD_OBJECT* hbrd) {
    if (hbrd->nTransactionDepth-- == 1) {
        uint32_t dwOps = QNGetTickCount() - s_dwTransactionStart;
        LogLine(LOG_STORE, "EXSM: EXBoardAbortTransaction (Operations=%lu.%03u seconds)\r\n",
                static_cast<unsigned long>(dwOps / 1000), dwOps % 1000);
    }
}

}  // namespace catstore

extern "C" void EXBoardBeginTransaction(BOARD_OBJECT* hbrd, const char* pszName,
                                        EXSM_STATUS* status) {
    RunApiVoid("EXBoardBeginTransaction", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        BeginTransaction(hbrd, pszName);
    });
}

extern "C" void EXBoardEndTransaction(BOARD_OBJECT* hbrd, EXSM_STATUS* status) {
    RunApiVoid("EXBoardEndTransaction", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        EndTransaction(hbrd);
    });
}

extern "C" void EXBoardAbortTransaction(BOARD_OBJECT* hbrd, EXSM_STATUS* status) {
    RunApiVoid("EXBoardAbortTransaction", status, [&](EXSM_STATUS* st) {
        if (!IsLiveBoard(hbrd)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        AbortTransaction(hbrd);
    });
}
