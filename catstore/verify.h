// The structure verification of a catalog (DBBoardVerify): the state one run shares between its
// checks, and the checks themselves.
//
// Every check reads what it needs set-at-a-time (whole record types, whole sets) into memory and
// decides from there, so that a catalog of 100,000 items costs a few passes over its tables and
// not one engine query per item and relation. Writes happen only when repairing; the visit
// marks of the variable strings live in memory only.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine.h"

namespace catstore {

// What the checks of one run know about the variable strings.
struct StringInfo {
    uint32_t cbStored = 0;       // VARSTRINGLENGTH
    uint32_t cbChunks = 0;       // the sum of the readable chunks
    uint32_t dwMark = 0;         // VARSTRINGOWNER as stored
    uint8_t bKind = 0;           // VARSTRINGKIND
    bool fBroken = false;        // a member that is gone
    bool fVisited = false;       // the visit mark, in memory
    std::vector<DBA> badChunks;  // chunks whose length is out of range
    std::vector<DBA> chunks;     // every readable chunk, in order
};

class CVerifyRun {
  public:
    CVerifyRun(CDbContext* pdb, bool fRepair);

    CDbContext* Db() const { return m_pdb; }
    bool Repair() const { return m_fRepair; }
    // A run that only finds out whether a repair has anything to do holds its lines back; when
    // it has not, they are the run's report and WriteHeldLines writes them.
    void HoldLines() { m_fHold = true; }
    void WriteHeldLines();

    // A finding line (category 0x100), also written to the catalog's own log.
    void Finding(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
    // A summary line (category 0), also written to the catalog's own log.
    void Summary(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

    // Reads every header, chunk and DBS_VARSTRING membership.
    int LoadStrings();
    StringInfo* FindString(DBA dba);
    const std::unordered_map<DBA, StringInfo>& Strings() const { return m_strings; }
    void ForgetString(DBA dba) { m_strings.erase(dba); }

    // Checks the variable string a field names; false counts one error. *pdba may become 0
    // (the caller writes its record back when repairing). Engine failures land in *prc.
    bool CheckString(DBA* pdba, int* prc);

    // Lost and Found: its dba and ITEMID once found or made (0 before).
    DBA dbaLostFound = 0;
    uint32_t dwLostFoundID = 0;

  private:
    CDbContext* m_pdb;
    bool m_fRepair;
    void Line(uint32_t dwCategory, const char* pszFormat, va_list args)
        __attribute__((format(printf, 3, 0)));

    bool m_fHold = false;
    std::vector<std::pair<uint32_t, std::string>> m_heldLines;
    std::string m_strCatalog;  // whose own log gets the lines as well
    std::unordered_map<DBA, StringInfo> m_strings;
};

// Members of one set, read whole: member -> owner, and the owners that have members.
struct SetIndex {
    std::unordered_map<DBA, DBA> ownerOf;
    std::unordered_map<DBA, uint32_t> memberCount;
    int Load(CDbContext* pdb, int32_t nSet);
    DBA Owner(DBA member) const {
        auto it = ownerOf.find(member);
        return it == ownerOf.end() ? 0 : it->second;
    }
    bool Has(DBA member) const { return ownerOf.count(member) != 0; }
    bool Owns(DBA owner) const {
        auto it = memberCount.find(owner);
        return it != memberCount.end() && it->second != 0;
    }
};

// Reads every record of a type in storage order: fn(dba, record) for each.
template <typename Rec, typename F>
int ScanAll(CDbContext* pdb, int32_t nRecType, F&& fn) {
    DBA dba = 0;
    for (;;) {
        Rec rec{};
        uint32_t stamp = 0;
        DBA found = 0;
        int rc = pdb->ScanRead(nRecType, dba, &rec, &stamp, &found);
        if (rc == S_NOTFOUND) {
            return S_OKAY;
        }
        if (rc != S_OKAY) {
            return rc;
        }
        dba = found;
        rc = fn(found, rec);
        if (rc != S_OKAY) {
            return rc;
        }
    }
}

// The checks: each returns an engine status (S_OKAY when it ran to its end) and adds its
// findings to *pcErrors.
int AdminCheckIntegrity(CVerifyRun& run, uint32_t* pcErrors);
int ItemCheckIntegrity(CVerifyRun& run, uint32_t* pcErrors);
int ItemRefCheckIntegrity(CVerifyRun& run, uint32_t* pcErrors);
int AttachmentCheckIntegrity(CVerifyRun& run, uint32_t* pcErrors);
int VarStringCheckIntegrity(CVerifyRun& run, uint32_t* pcErrors);

// Finds the Lost and Found folder under the root, or (when repairing) makes it.
int FindOrMakeLostAndFound(CVerifyRun& run);

}  // namespace catstore
