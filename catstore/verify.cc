// DBBoardVerify: the storage check, then the five structure checks in their transactions, and
// the copy kept before a repair writes anything.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "catdbms/dbms.h"
#include "foundation/cataloglog.h"
#include "frame.h"
#include "locks.h"
#include "trace.h"
#include "verify.h"

namespace catstore {
namespace {

inline constexpr uint32_t LOG_VERIFY = 0x100;

struct CheckDef {
    const char* pszName;
    int (*pfn)(CVerifyRun&, uint32_t*);
    std::vector<LockEntry> (*pfnPacket)();
};

const CheckDef kChecks[] = {
    {"AdminCheckIntegrity", AdminCheckIntegrity,
     [] {
         return Packet({DB_USERREC, DB_GROUPREC}, 'w');
     }},
    {"ItemCheckIntegrity", ItemCheckIntegrity,
     [] {
         return Packet({DB_ITEMREC, DBS_ITEMS, DB_FOLDERREC, DBS_ATTACHMENTS, DB_USERREC,
                        DBS_VARSTRING, DB_LARGEDATA, DB_LARGEVAR, DB_SMALLDATA, DB_SMALLVAR,
                        DB_UNIQUEIDSREC, DB_CHANGEENTRYREC},
                       'w');
     }},
    {"ItemRefCheckIntegrity", ItemRefCheckIntegrity,
     [] {
         return Packet({DB_ITEMREC, DB_ITEMREFREC, DBS_ITEMS_REFERENCED, DBS_ITEM_REFERENCERS,
                        DBS_VARSTRING, DB_LARGEDATA, DB_LARGEVAR, DB_SMALLDATA, DB_SMALLVAR},
                       'w');
     }},
    {"AttachmentCheckIntegrity", AttachmentCheckIntegrity,
     [] {
         return Packet({DB_ITEMREC, DB_ATTACHREC, DB_REPOSITORYREC, DBS_VARSTRING, DB_LARGEDATA,
                        DB_LARGEVAR, DB_SMALLDATA, DB_SMALLVAR},
                       'w');
     }},
    {"VarStringCheckIntegrity", VarStringCheckIntegrity,
     [] {
         return Packet(
             {DB_ITEMREC, DBS_ITEMS, DB_FOLDERREC, DB_REPOSITORYREC, DBS_ATTACHMENTS, DB_USERREC,
              DB_GROUPREC, DB_RESOURCEREC, DB_ITEMREFREC, DBS_VARSTRING, DB_LARGEDATA, DB_LARGEVAR,
              DB_SMALLDATA, DB_SMALLVAR, DB_UNIQUEIDSREC, DB_CHANGEENTRYREC},
             'w');
     }},
};

// One check in its own transaction (or the caller's). false when it could not run to its end.
bool RunCheck(CVerifyRun& run, const CheckDef& check, uint32_t* pcErrors) {
    CStoreTransaction tx(run.Db(), check.pszName, check.pfnPacket());
    if (tx.Status() != DBSuccess) {
        return false;
    }
    uint32_t cErrors = 0;
    int rc = S_OKAY;
    if (run.Repair() && check.pfn == VarStringCheckIntegrity) {
        rc = FindOrMakeLostAndFound(run);
    }
    if (rc == S_OKAY) {
        rc = check.pfn(run, &cErrors);
    }
    const DBStatus st = tx.Finish(rc == S_OKAY ? DBSuccess : DBEngineError);
    *pcErrors += cErrors;
    return rc == S_OKAY && st == DBSuccess;
}

// The engine's own check of the storage, the sets and the keys. false when it could not run.
bool CheckStorage(CVerifyRun& run, uint32_t* pcErrors) {
    // Under read locks of everything: one snapshot, one storage transaction for all its reads.
    std::vector<LockEntry> packet;
    for (const RecordDef& r : kRecords) {
        packet.push_back({r.code, 'r'});
    }
    for (const SetDef& s : kSets) {
        packet.push_back({s.code, 'r'});
    }
    CStoreRead read(run.Db(), packet);
    if (read.Status() != DBSuccess) {
        return false;
    }
    qn::dbms::CheckReport report;
    const int rc = run.Db()->CheckCatalog(&report);
    if (rc != S_OKAY && rc != S_NOTFOUND) {
        return false;
    }
    for (const std::string& strLine : report.messages) {
        run.Finding("DBBoardVerify: storage check: %s\r\n", strLine.c_str());
    }
    *pcErrors += report.errors;
    return true;
}

// The five checks in order; false when one could not run. Strings are read afresh each pass.
bool RunChecks(CVerifyRun& run, uint32_t* pcErrors) {
    int rc = S_OKAY;
    {
        CStoreRead read(run.Db(), VarStringPacket('r'));
        rc = read.Status() == DBSuccess ? run.LoadStrings() : S_UNAVAIL;
    }
    if (rc != S_OKAY) {
        return false;
    }
    for (const CheckDef& check : kChecks) {
        if (!RunCheck(run, check, pcErrors)) {
            return false;
        }
    }
    return true;
}

uint16_t Verify(CDbContext* pdb, bool fRepair) {
    if (pdb == nullptr || !pdb->IsOpen() || pdb->InTransaction()) {
        return DBEngineError;
    }
    if (pdb->OlderDictionary()) {
        // Its records do not have this version's shape yet: checks would misread them and
        // repairs would write what the upgrade cannot take.
        CVerifyRun(pdb, false)
            .Finding(
                "DBBoardVerify: the catalog was written by an older version; open it exclusively "
                "to "
                "upgrade it before it is verified\r\n");
        return DBEngineError;
    }
    uint32_t cErrors = 0;
    if (!fRepair) {
        CVerifyRun run(pdb, false);
        if (!CheckStorage(run, &cErrors) || !RunChecks(run, &cErrors)) {
            return DBEngineError;
        }
        return cErrors == 0 ? DBSuccess : DBErrorsFound;
    }
    // A repair first finds out, writing nothing, whether it has anything to do.
    CVerifyRun probe(pdb, false);
    probe.HoldLines();
    uint32_t cStorageErrors = 0;
    if (!CheckStorage(probe, &cStorageErrors) || !RunChecks(probe, &cErrors)) {
        return DBEngineError;
    }
    if (cErrors + cStorageErrors == 0 && probe.dbaLostFound != 0) {
        probe.WriteHeldLines();
        return DBSuccess;
    }
    // The catalog as it was stays beside it before the first write.
    if (pdb->Backup(pdb->CatalogPath() + ".before-repair") != S_OKAY) {
        LogLine(LOG_VERIFY,
                "DBBoardVerify: no copy of the catalog could be made; nothing repaired\r\n");
        return DBEngineError;
    }
    CVerifyRun run(pdb, true);
    cErrors = 0;
    if (!CheckStorage(run, &cErrors)) {
        return DBEngineError;
    }
    if (cErrors != 0) {
        qn::dbms::CheckReport report;
        if (pdb->RebuildKeys(&report) != S_OKAY) {
            return DBEngineError;
        }
    }
    if (!RunChecks(run, &cErrors)) {
        return DBEngineError;
    }
    return cErrors == 0 ? DBSuccess : DBErrorsRepaired;
}

}  // namespace

CVerifyRun::CVerifyRun(CDbContext* pdb, bool fRepair)
    : m_pdb(pdb), m_fRepair(fRepair), m_strCatalog(pdb->CatalogPath()) {}

static void WriteLine(uint32_t dwCategory, const std::string& strCatalog, const char* pszLine) {
    LogLine(dwCategory, "%s", pszLine);
    if (!strCatalog.empty()) {
        // The catalog's log is a text file of this system: the line end is its own.
        std::string strLine = pszLine;
        while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == '\r')) {
            strLine.pop_back();
        }
        qn::AppendCatalogLog(strCatalog, "%s", strLine.c_str());
    }
}

void CVerifyRun::Line(uint32_t dwCategory, const char* pszFormat, va_list args) {
    char ach[1024];
    std::vsnprintf(ach, sizeof ach, pszFormat, args);
    if (m_fHold) {
        m_heldLines.emplace_back(dwCategory, ach);
        return;
    }
    WriteLine(dwCategory, m_strCatalog, ach);
}

void CVerifyRun::WriteHeldLines() {
    for (const auto& [dwCategory, strLine] : m_heldLines) {
        WriteLine(dwCategory, m_strCatalog, strLine.c_str());
    }
    m_heldLines.clear();
}

void CVerifyRun::Finding(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    Line(LOG_VERIFY, pszFormat, args);
    va_end(args);
}

void CVerifyRun::Summary(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    Line(0, pszFormat, args);
    va_end(args);
}

}  // namespace catstore

extern "C" CATSTORE_API uint16_t DBBoardVerify(void* pDatabaseContext, int fRepair) {
    using namespace catstore;
    return RunApiNoStatus("DBBoardVerify", static_cast<uint16_t>(DBEngineError), [&] {
        return catstore::Verify(static_cast<CDbContext*>(pDatabaseContext), fRepair != 0);
    });
}
