#include "engine.h"

#include <memory>

#include "catdbms/dbms.h"
#include "trace.h"

namespace catstore {

// System errors of the engine's earlier storage that catdbms does not return. The general
// mapping keeps them so that it stays one fixed table whatever engine answers; they are named,
// like the store's unproduced statuses, after what the mapping makes of them.
enum FormerEngineStatus : int {
    S_FORMER_FATAL_906 = -906,
    S_FORMER_FATAL_907 = -907,
    S_FORMER_LOCKMGR_911 = -911,
    S_FORMER_FATAL_912 = -912,
    S_FORMER_FATAL_917 = -917,
    S_FORMER_FATAL_919 = -919,
    S_FORMER_FATAL_925 = -925,
    S_FORMER_FATAL_937 = -937,
};

// The engine's system errors run from S_NOSPACE down to this one; each is logged as it happens.
inline constexpr int kLastSystemError = -945;

DBStatus MapEngineStatus(int nEngineStatus) {
    switch (nEngineStatus) {
        case S_OKAY:
            return DBSuccess;
        case S_UNAVAIL:
            return DBLockRefused;
        case S_NOSPACE:
            return DBOutOfDiskSpace;
        case S_NOMEMORY:
            return DBOutOfMemory;
        case S_FORMER_LOCKMGR_911:
            return DBLockManagerNotFound;
        case S_NOSHARE:
            return DBShareNotLoaded;
        case S_NOFILE:
        case S_FORMER_FATAL_906:
        case S_FORMER_FATAL_907:
        case S_FORMER_FATAL_912:
        case S_WRITE:
        case S_READ:
        case S_FORMER_FATAL_917:
        case S_FORMER_FATAL_919:
        case S_FORMER_FATAL_925:
        case S_FORMER_FATAL_937:
            return DBFatalEngineError;
        default:
            return DBEngineError;
    }
}

struct CDbContext::Impl {
    std::unique_ptr<qn::dbms::CDbTask> task;
    std::string strDir;   // the folder SetPaths named
    std::string strPath;  // the catalog file Open opened
};

CDbContext::CDbContext() : m_pImpl(new Impl) {}

CDbContext::~CDbContext() {
    DestroyTask();
    delete m_pImpl;
}

static void EngineErrorCallback(int nStatus, const char* pszText, void*) {
    if (nStatus >= kLastSystemError && nStatus <= S_NOSPACE) {
        LogLine(LOG_ENGINE, "EXDB: RDM System Error Detected (%d), %s\r\n", nStatus,
                pszText ? pszText : "");
    }
}

int CDbContext::CreateTask() {
    m_pImpl->task = std::make_unique<qn::dbms::CDbTask>();
    m_pImpl->task->SetErrorCallback(EngineErrorCallback, nullptr);
    return S_OKAY;
}

void CDbContext::DestroyTask() {
    if (m_pImpl->task) {
        m_pImpl->task->Close();
        m_pImpl->task.reset();
    }
}

#define TASK (m_pImpl->task)
#define NEED_TASK()          \
    do {                     \
        if (!TASK) {         \
            return S_DBOPEN; \
        }                    \
    } while (0)

int CDbContext::SetPaths(const std::string& strDir, const std::string& strTafPath) {
    NEED_TASK();
    const char* pszDir = strDir.empty() ? "." : strDir.c_str();
    m_pImpl->strDir = pszDir;
    int rc = TASK->SetDictionaryPath(pszDir);
    if (rc == S_OKAY) {
        rc = TASK->SetDataPath(pszDir);
    }
    if (rc == S_OKAY) {
        rc = TASK->SetTafFile(strTafPath.c_str());
    }
    return rc;
}

int CDbContext::SetLockManager(int nTransport) {
    NEED_TASK();
    return TASK->SetLockManager(nTransport);
}
int CDbContext::SetDatabaseName(const std::string& strName) {
    NEED_TASK();
    return TASK->SetDatabaseName(strName.c_str());
}
int CDbContext::TestUserID(const std::string& strUserID) {
    NEED_TASK();
    return TASK->TestUserId(strUserID.c_str());
}
int CDbContext::SetUserID(const std::string& strUserID) {
    NEED_TASK();
    return TASK->SetUserId(strUserID.c_str());
}
int CDbContext::SetOpenFiles(int nFiles) {
    NEED_TASK();
    return TASK->SetOpenFiles(nFiles);
}
int CDbContext::SetCachePages(int nPages, int nIndexPages) {
    NEED_TASK();
    return TASK->SetCachePages(nPages, nIndexPages);
}
int CDbContext::Open(const std::string& strFile, const char* pszMode) {
    NEED_TASK();
    int rc = TASK->Open(strFile.c_str(), pszMode);
    if (rc == S_OKAY) {
        m_pImpl->strPath = strFile.find('/') != std::string::npos || m_pImpl->strDir.empty()
                               ? strFile
                               : m_pImpl->strDir + "/" + strFile;
    }
    return rc;
}
int CDbContext::SetLockTimeout(int nSeconds) {
    NEED_TASK();
    return TASK->SetLockTimeout(nSeconds);
}
int CDbContext::SetSharedOptions() {
    NEED_TASK();
    return S_OKAY;
}
int CDbContext::InitializeDatabase() {
    NEED_TASK();
    return TASK->Initialize();
}
int CDbContext::Close() {
    NEED_TASK();
    return TASK->Close();
}
bool CDbContext::IsOpen() const {
    return TASK && TASK->IsOpen();
}
bool CDbContext::OlderDictionary() const {
    return TASK && TASK->OlderDictionary();
}
int CDbContext::MigrateDictionary() {
    NEED_TASK();
    qn::dbms::CheckReport report;
    return TASK->MigrateDictionary(&report);
}

int CDbContext::ListUsers(std::string* pNames, int nMax, int* pnCount) {
    NEED_TASK();
    std::vector<qn::dbms::LM_USER> users(nMax > 0 ? static_cast<size_t>(nMax) : 1);
    uint16_t cUsers = 0;
    int rc = TASK->ListUsers(users.data(), static_cast<uint16_t>(nMax > 0 ? nMax : 0), &cUsers);
    *pnCount = cUsers;
    for (int i = 0; rc == S_OKAY && i < nMax && i < cUsers; ++i) {
        pNames[i].assign(users[i].name, strnlen(users[i].name, sizeof users[i].name));
    }
    return rc;
}
int CDbContext::ClearUser(const std::string& strUserID) {
    NEED_TASK();
    return TASK->ClearUser(strUserID.c_str());
}

uint16_t CDbContext::State() const {
    return TASK ? TASK->StateWord() : 0;
}
int CDbContext::Begin(const char* pszTag) {
    NEED_TASK();
    return TASK->TransactionBegin(pszTag);
}
int CDbContext::End() {
    NEED_TASK();
    return TASK->TransactionEnd();
}
int CDbContext::Abort() {
    NEED_TASK();
    return TASK->TransactionAbort();
}

int CDbContext::LockPacket(const LockEntry* pEntries, size_t cEntries) {
    NEED_TASK();
    if (cEntries == 0) {
        return S_OKAY;
    }
    std::vector<qn::dbms::LOCK_REQUEST> packet(cEntries);
    for (size_t i = 0; i < cEntries; ++i) {
        packet[i].item = pEntries[i].nCode;
        packet[i].type = pEntries[i].chType;
    }
    return TASK->Lock(packet.data(), static_cast<int>(cEntries));
}
int CDbContext::LockOne(int32_t nCode, char chType) {
    NEED_TASK();
    return TASK->LockOne(nCode, chType);
}
int CDbContext::LockState(int32_t nCode, char* pchState) {
    NEED_TASK();
    return TASK->LockState(nCode, pchState);
}
int CDbContext::FreeReadLocks() {
    NEED_TASK();
    return TASK->FreeReadLocks();
}
int CDbContext::FreeAllLocks() {
    NEED_TASK();
    return TASK->FreeAll();
}

int CDbContext::Create(int32_t nRecType, const void* pRecord) {
    NEED_TASK();
    return TASK->FillNew(nRecType, pRecord);
}
int CDbContext::MakeCurrent(DBA dba) {
    NEED_TASK();
    if (dba == 0) {
        return S_DELETED;
    }
    return TASK->CrSet(dba);
}
int CDbContext::CurrentDba(DBA* pdba) {
    NEED_TASK();
    return TASK->CrGet(pdba);
}
int CDbContext::CurrentType(int32_t* pnType) {
    NEED_TASK();
    int n = 0;
    int rc = TASK->RecType(&n);
    *pnType = n;
    return rc;
}
int CDbContext::Read(void* pRecord) {
    NEED_TASK();
    return TASK->RecRead(pRecord);
}
int CDbContext::Write(const void* pRecord) {
    NEED_TASK();
    return TASK->RecWrite(pRecord);
}
int CDbContext::Delete() {
    NEED_TASK();
    return TASK->Delete();
}
int CDbContext::DisconnectAllAndDelete() {
    NEED_TASK();
    return TASK->DisconnectDelete();
}
int CDbContext::DeleteAt(DBA dba) {
    int rc = MakeCurrent(dba);
    return rc == S_OKAY ? DisconnectAllAndDelete() : rc;
}
int CDbContext::CurrentStamp(uint64_t* pStamp) {
    NEED_TASK();
    uint32_t stamp = 0;
    int rc = TASK->CrStamp(&stamp);
    *pStamp = stamp;
    return rc;
}
int CDbContext::TestStamp(uint64_t stamp) {
    NEED_TASK();
    return TASK->CrTest(static_cast<uint32_t>(stamp));
}
int CDbContext::ScanFirst(int32_t nRecType) {
    NEED_TASK();
    return TASK->RecFirst(nRecType);
}
int CDbContext::ScanRead(int32_t nRecType, DBA dbaAfter, void* pRecord, uint32_t* pStamp,
                         DBA* pdba) {
    NEED_TASK();
    return TASK->RecReadNext(nRecType, dbaAfter, pdba, pRecord, pStamp);
}
int CDbContext::ScanLast(int32_t nRecType) {
    NEED_TASK();
    return TASK->RecLast(nRecType);
}
int CDbContext::ScanNext(int32_t nRecType) {
    NEED_TASK();
    return TASK->RecNext(nRecType);
}
int CDbContext::ScanPrev(int32_t nRecType) {
    NEED_TASK();
    return TASK->RecPrev(nRecType);
}
int CDbContext::ScanSet(int32_t nRecType) {
    NEED_TASK();
    return TASK->RecSet(nRecType);
}
int CDbContext::RecordCount(int32_t nRecType, uint32_t* pcRecords) {
    NEED_TASK();
    return TASK->RecCount(nRecType, pcRecords);
}
int CDbContext::KeyFind(int32_t nField, const void* pValue) {
    NEED_TASK();
    return TASK->KeyFind(nField, pValue);
}
int CDbContext::KeyStore(int32_t nField) {
    NEED_TASK();
    return TASK->KeyStore(nField);
}
int CDbContext::KeyDelete(int32_t nField) {
    NEED_TASK();
    return TASK->KeyDelete(nField);
}
int CDbContext::SetOwnerCurrent(int32_t nSet) {
    NEED_TASK();
    return TASK->SetOwnerToCurrent(nSet);
}
int CDbContext::SetOwnerSystem(int32_t nSet) {
    NEED_TASK();
    int rc = TASK->RecFirst(SYSTEM);
    if (rc == S_OKAY) {
        rc = TASK->SetOwnerToCurrent(nSet);
    }
    return rc;
}
int CDbContext::Connect(int32_t nSet) {
    NEED_TASK();
    return TASK->Connect(nSet);
}
int CDbContext::Disconnect(int32_t nSet) {
    NEED_TASK();
    return TASK->Disconnect(nSet);
}
int CDbContext::SetMemberCurrent(int32_t nSet) {
    NEED_TASK();
    return TASK->SetMemberToCurrent(nSet);
}
int CDbContext::FindFirst(int32_t nSet) {
    NEED_TASK();
    return TASK->FindFirst(nSet);
}
int CDbContext::FindNext(int32_t nSet) {
    NEED_TASK();
    return TASK->FindNext(nSet);
}
int CDbContext::FindLast(int32_t nSet) {
    NEED_TASK();
    return TASK->FindLast(nSet);
}
int CDbContext::FindOwner(int32_t nSet) {
    NEED_TASK();
    return TASK->FindOwner(nSet);
}
int CDbContext::IsMember(int32_t nSet) {
    NEED_TASK();
    return TASK->IsMember(nSet);
}
int CDbContext::MemberCount(int32_t nSet, uint32_t* pcMembers) {
    NEED_TASK();
    return TASK->MemberCount(nSet, pcMembers);
}
int CDbContext::FindPrev(int32_t nSet) {
    NEED_TASK();
    return TASK->FindPrev(nSet);
}
int CDbContext::FindFrom(int32_t nSet, const void* pSortValue, DBA dbaMember, bool fForward) {
    NEED_TASK();
    return TASK->FindFrom(nSet, pSortValue, dbaMember, fForward);
}
int CDbContext::KeyFrom(int32_t nField, const void* pValue, DBA dba, bool fForward) {
    NEED_TASK();
    return TASK->KeyFrom(nField, pValue, dba, fForward);
}
int CDbContext::KeyNext(int32_t nField) {
    NEED_TASK();
    return TASK->KeyNext(nField);
}
int CDbContext::KeyPrev(int32_t nField) {
    NEED_TASK();
    return TASK->KeyPrev(nField);
}
int CDbContext::ReadAt(DBA dba, void* pRecord, uint32_t* pStamp) {
    NEED_TASK();
    return TASK->ReadAt(dba, pRecord, pStamp);
}
int CDbContext::MemberPairs(int32_t nSet, std::vector<std::pair<DBA, DBA>>* pPairs) {
    NEED_TASK();
    return TASK->MemberPairs(nSet, pPairs);
}
int CDbContext::CheckCatalog(qn::dbms::CheckReport* pReport) {
    NEED_TASK();
    return TASK->CheckCatalog(pReport);
}
int CDbContext::RebuildKeys(qn::dbms::CheckReport* pReport) {
    NEED_TASK();
    return TASK->RebuildKeys(pReport);
}
int CDbContext::Backup(const std::string& strPath) {
    NEED_TASK();
    return TASK->Backup(strPath.c_str());
}
const std::string& CDbContext::CatalogPath() const {
    return m_pImpl->strPath;
}
uint32_t CDbContext::Checksum(const void* pv, size_t cb) {
    return qn::dbms::CDbTask::Checksum(pv, cb);
}
int CDbContext::CreateCatalog(const std::string& strPath, const std::string& strTafPath) {
    return qn::dbms::CDbTask::CreateCatalog(strPath.c_str(), strTafPath.c_str());
}
void CDbContext::SetLockTimeoutMs(int nMilliseconds) {
    if (TASK) {
        TASK->SetLockTimeoutMs(nMilliseconds);
    }
}

}  // namespace catstore
