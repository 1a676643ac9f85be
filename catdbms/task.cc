// First cut: every call answers S_SYSERR until the engine lands.
#include "catdbms/dbms.h"

namespace qn::dbms {

class TaskImpl {};

CDbTask::CDbTask() = default;
CDbTask::~CDbTask() = default;
const char* StatusText(int) {
    return "";
}
void CDbTask::SetErrorCallback(ErrorCallback fn, void* context) {}
void CDbTask::SetOptions(uint32_t options) {}
void CDbTask::ClearOptions(uint32_t options) {}
uint16_t CDbTask::StateWord() const {
    return 0;
}
int CDbTask::SetDictionaryPath(const char* path) {
    return S_SYSERR;
}
int CDbTask::SetDataPath(const char* path) {
    return S_SYSERR;
}
int CDbTask::SetTafFile(const char* path) {
    return S_SYSERR;
}
int CDbTask::SetLockManager(int transport) {
    return S_SYSERR;
}
int CDbTask::SetDatabaseName(const char* name) {
    return S_SYSERR;
}
int CDbTask::TestUserId(const char* userId) {
    return S_SYSERR;
}
int CDbTask::SetUserId(const char* userId) {
    return S_SYSERR;
}
int CDbTask::SetOpenFiles(int count) {
    return S_SYSERR;
}
int CDbTask::SetCachePages(int pages, int indexPages) {
    return S_SYSERR;
}
int CDbTask::SetLockTimeout(int seconds) {
    return S_SYSERR;
}
int CDbTask::SetLockTimeoutMs(int milliseconds) {
    return S_SYSERR;
}
int CDbTask::SetSizeLimit(uint64_t bytes) {
    return S_SYSERR;
}
int CDbTask::Open(const char* dbName, const char* mode) {
    return S_SYSERR;
}
int CDbTask::Close() {
    return S_SYSERR;
}
bool CDbTask::IsOpen() const {
    return false;
}
const char* CDbTask::OpenMode() const {
    return "";
}
int CDbTask::Initialize() {
    return S_SYSERR;
}
int CDbTask::CreateCatalog(const char* path, const char* tafPath) {
    return S_SYSERR;
}
int CDbTask::ListUsers(LM_USER* entries, uint16_t capacity, uint16_t* count) {
    return S_SYSERR;
}
int CDbTask::ClearUser(const char* userId) {
    return S_SYSERR;
}
int CDbTask::TransactionBegin(const char* tag) {
    return S_SYSERR;
}
int CDbTask::TransactionEnd() {
    return S_SYSERR;
}
int CDbTask::TransactionAbort() {
    return S_SYSERR;
}
const char* CDbTask::TransactionTag() const {
    return "";
}
int CDbTask::Lock(const LOCK_REQUEST* packet, int count) {
    return S_SYSERR;
}
int CDbTask::LockOne(int code, char type) {
    return S_SYSERR;
}
int CDbTask::LockState(int code, char* state) {
    return S_SYSERR;
}
int CDbTask::Free(int code) {
    return S_SYSERR;
}
int CDbTask::FreeReadLocks() {
    return S_SYSERR;
}
int CDbTask::FreeAll() {
    return S_SYSERR;
}
int CDbTask::FillNew(int recordCode, const void* buffer) {
    return S_SYSERR;
}
int CDbTask::RecRead(void* buffer) {
    return S_SYSERR;
}
int CDbTask::RecWrite(const void* buffer) {
    return S_SYSERR;
}
int CDbTask::CrRead(int fieldCode, void* buffer) {
    return S_SYSERR;
}
int CDbTask::CrWrite(int fieldCode, const void* buffer) {
    return S_SYSERR;
}
int CDbTask::Delete() {
    return S_SYSERR;
}
int CDbTask::DisconnectDelete() {
    return S_SYSERR;
}
int CDbTask::RecType(int* recordCode) {
    return S_SYSERR;
}
int CDbTask::CrGet(DBA* dba) {
    return S_SYSERR;
}
int CDbTask::CrSet(DBA dba) {
    return S_SYSERR;
}
int CDbTask::RecFirst(int recordCode) {
    return S_SYSERR;
}
int CDbTask::RecLast(int recordCode) {
    return S_SYSERR;
}
int CDbTask::RecNext(int recordCode) {
    return S_SYSERR;
}
int CDbTask::RecPrev(int recordCode) {
    return S_SYSERR;
}
int CDbTask::RecSet(int recordCode) {
    return S_SYSERR;
}
int CDbTask::RecCount(int recordCode, uint32_t* count) {
    return S_SYSERR;
}
int CDbTask::CrStamp(uint32_t* stamp) {
    return S_SYSERR;
}
int CDbTask::CrTest(uint32_t stamp) {
    return S_SYSERR;
}
int CDbTask::KeyFind(int keyField, const void* value) {
    return S_SYSERR;
}
int CDbTask::KeyFirst(int keyField) {
    return S_SYSERR;
}
int CDbTask::KeyLast(int keyField) {
    return S_SYSERR;
}
int CDbTask::KeyNext(int keyField) {
    return S_SYSERR;
}
int CDbTask::KeyPrev(int keyField) {
    return S_SYSERR;
}
int CDbTask::KeyRead(void* value) {
    return S_SYSERR;
}
int CDbTask::KeyStore(int keyField) {
    return S_SYSERR;
}
int CDbTask::KeyDelete(int keyField) {
    return S_SYSERR;
}
int CDbTask::KeyExists(int keyField) {
    return S_SYSERR;
}
int CDbTask::Connect(int setCode) {
    return S_SYSERR;
}
int CDbTask::Disconnect(int setCode) {
    return S_SYSERR;
}
int CDbTask::SetOwnerToCurrent(int setCode) {
    return S_SYSERR;
}
int CDbTask::SetMemberToCurrent(int setCode) {
    return S_SYSERR;
}
int CDbTask::CurrentToOwner(int setCode) {
    return S_SYSERR;
}
int CDbTask::CurrentToMember(int setCode) {
    return S_SYSERR;
}
int CDbTask::SetOwnerFromOwner(int dstSet, int srcSet) {
    return S_SYSERR;
}
int CDbTask::SetOwnerFromMember(int dstSet, int srcSet) {
    return S_SYSERR;
}
int CDbTask::SetMemberFromMember(int dstSet, int srcSet) {
    return S_SYSERR;
}
int CDbTask::OwnerGet(int setCode, DBA* dba) {
    return S_SYSERR;
}
int CDbTask::MemberGet(int setCode, DBA* dba) {
    return S_SYSERR;
}
int CDbTask::OwnerSet(int setCode, DBA dba) {
    return S_SYSERR;
}
int CDbTask::MemberSet(int setCode, DBA dba) {
    return S_SYSERR;
}
int CDbTask::FindFirst(int setCode) {
    return S_SYSERR;
}
int CDbTask::FindLast(int setCode) {
    return S_SYSERR;
}
int CDbTask::FindNext(int setCode) {
    return S_SYSERR;
}
int CDbTask::FindPrev(int setCode) {
    return S_SYSERR;
}
int CDbTask::FindOwner(int setCode) {
    return S_SYSERR;
}
int CDbTask::MemberType(int setCode, int* recordCode) {
    return S_SYSERR;
}
int CDbTask::IsMember(int setCode) {
    return S_SYSERR;
}
int CDbTask::IsOwner(int setCode) {
    return S_SYSERR;
}
int CDbTask::OwnerRead(int setCode, int fieldCode, void* buffer) {
    return S_SYSERR;
}
int CDbTask::MemberRead(int setCode, int fieldCode, void* buffer) {
    return S_SYSERR;
}
int CDbTask::MemberCount(int setCode, uint32_t* count) {
    return S_SYSERR;
}
int CDbTask::CheckCatalog(CheckReport* report) {
    return S_SYSERR;
}
int CDbTask::RebuildKeys(CheckReport* report) {
    return S_SYSERR;
}
int CDbTask::Backup(const char* path) {
    return S_SYSERR;
}
int CDbTask::QueryOpenState(const char* catalogPath, OpenState* state, const char* tafPath) {
    return S_SYSERR;
}
int CDbTask::CopyCatalog(const char* fromPath, const char* toPath) {
    return S_SYSERR;
}
std::string CDbTask::DefaultTafPath(const char* catalogPath) {
    return {};
}
uint32_t CDbTask::Checksum(const void* data, size_t length, uint32_t crc) {
    return 0;
}
}  // namespace qn::dbms
