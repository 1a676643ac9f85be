#include "cache.h"

#include <unistd.h>

#include <memory>

#include "board.h"
#include "handles.h"
#include "iterators.h"
#include "notify.h"
#include "reclaim.h"
#include "retired.h"
#include "trace.h"
#include "unread.h"

namespace catstore {

// ---- Entry lists ----------------------------------------------------------------------------

std::vector<CItemNotifier*> CItemEntry::Notifiers() const {
    std::vector<CItemNotifier*> v;
    v.reserve(m_cNotifiers);
    for (CItemNotifier* p = m_pNotifiers; p != nullptr; p = p->m_pNext) {
        v.push_back(p);
    }
    return v;
}

std::vector<CIteratorEntry*> CItemEntry::Iterators() const {
    std::vector<CIteratorEntry*> v;
    for (CIteratorEntry* p = m_pIterators; p != nullptr; p = p->m_pNext) {
        v.push_back(p);
    }
    return v;
}

template <typename T>
static void LinkAtHead(T** ppHead, T* p) {
    p->m_pPrev = nullptr;
    p->m_pNext = *ppHead;
    if (*ppHead != nullptr) {
        (*ppHead)->m_pPrev = p;
    }
    *ppHead = p;
}

template <typename T>
static void Unlink(T** ppHead, T* p) {
    if (p->m_pPrev != nullptr) {
        p->m_pPrev->m_pNext = p->m_pNext;
    } else {
        *ppHead = p->m_pNext;
    }
    if (p->m_pNext != nullptr) {
        p->m_pNext->m_pPrev = p->m_pPrev;
    }
    p->m_pPrev = p->m_pNext = nullptr;
}

void CItemEntry::CountUse(bool fWasInUse) {
    if (m_pMap != nullptr && fWasInUse != InUse()) {
        fWasInUse ? --m_pMap->m_cInUse : ++m_pMap->m_cInUse;
    }
}

void CItemEntry::LinkNotifier(CItemNotifier* pNotifier) {
    const bool fWasInUse = InUse();
    LinkAtHead(&m_pNotifiers, pNotifier);
    pNotifier->m_pEntry = this;
    ++m_cNotifiers;
    if (m_pMap != nullptr) {
        ++m_pMap->m_cNotifiers;
    }
    CountUse(fWasInUse);
}

void CItemEntry::UnlinkNotifier(CItemNotifier* pNotifier) {
    const bool fWasInUse = InUse();
    Unlink(&m_pNotifiers, pNotifier);
    pNotifier->m_pEntry = nullptr;
    --m_cNotifiers;
    if (m_pMap != nullptr) {
        --m_pMap->m_cNotifiers;
    }
    CountUse(fWasInUse);
}

void CItemEntry::LinkIterator(CIteratorEntry* pEntry) {
    const bool fWasInUse = InUse();
    LinkAtHead(&m_pIterators, pEntry);
    pEntry->m_pEntry = this;
    CountUse(fWasInUse);
}

void CItemEntry::UnlinkIterator(CIteratorEntry* pEntry) {
    const bool fWasInUse = InUse();
    Unlink(&m_pIterators, pEntry);
    pEntry->m_pEntry = nullptr;
    CountUse(fWasInUse);
}

// ---- The map --------------------------------------------------------------------------------

static size_t StringBytes(const std::string& str) {
    // Short texts live inside the string object itself.
    return str.capacity() > 15 ? str.capacity() + 1 : 0;
}

size_t HeldBytes(const DB_ITEM& item) {
    size_t cb = item.folder ? sizeof(qn::dbms::db_folderrec) : 0;
    for (const VarStringHolder* p :
         {&item.vsiNote, &item.vsiExtendedInfo, &item.vsiInstructions, &item.vsiKeywords,
          &item.vsiSubscribers, &item.vsiReposLocation, &item.vsiReposPolicy,
          &item.vsiReposPrivate}) {
        cb += StringBytes(p->value);
    }
    return cb + StringBytes(item.strAttachmentTopic) + StringBytes(item.strFolderTopic);
}

// An entry as the map holds it: the entry, its hash node and its share of the buckets.
static uint64_t EntryBytes(const CItemEntry* pEntry) {
    constexpr size_t NODE = sizeof(void*) + sizeof(std::pair<const uint32_t, CItemEntry*>);
    return sizeof(CItemEntry) + HeldBytes(pEntry->m_item) + NODE + sizeof(void*);
}

CMapIIDToItemEntry::~CMapIIDToItemEntry() {
    for (auto& kv : m_map) {
        delete kv.second;
    }
}

CItemEntry* CMapIIDToItemEntry::Find(uint32_t dwItemID) const {
    auto it = m_map.find(dwItemID);
    return it == m_map.end() ? nullptr : it->second;
}

CItemEntry* CMapIIDToItemEntry::Insert(const DB_ITEM& item) {
    auto pEntry = std::make_unique<CItemEntry>();
    pEntry->m_item = item;
    pEntry->m_pMap = this;
    m_map.emplace(item.item.itemid, pEntry.get());
    m_cbEntries += EntryBytes(pEntry.get());
    return pEntry.release();
}

CPreparedEntry CMapIIDToItemEntry::Prepare() {
    m_map.reserve(m_map.size() + 1);
    CPreparedEntry prepared;
    prepared.m_pEntry = std::make_unique<CItemEntry>();
    std::unordered_map<uint32_t, CItemEntry*> nodeSource;
    nodeSource.emplace(0u, prepared.m_pEntry.get());
    prepared.m_node = nodeSource.extract(0u);
    return prepared;
}

CItemEntry* CMapIIDToItemEntry::InsertPrepared(CPreparedEntry&& prepared, DB_ITEM&& item) {
    if (CItemEntry* pExisting = Find(item.item.itemid)) {
        Update(pExisting, item);
        return pExisting;
    }
    CItemEntry* pEntry = prepared.m_pEntry.release();
    pEntry->m_item = std::move(item);
    pEntry->m_pMap = this;
    prepared.m_node.key() = pEntry->m_item.item.itemid;
    m_map.insert(std::move(prepared.m_node));
    m_cbEntries += EntryBytes(pEntry);
    return pEntry;
}

void CMapIIDToItemEntry::Remove(CItemEntry* pEntry) {
    auto it = m_map.find(pEntry->m_item.item.itemid);
    if (it == m_map.end() || it->second != pEntry) {
        ReportAssertion("pItemEntry == NULL", ".\\EXNOTIFY");
        return;
    }
    m_cbEntries -= EntryBytes(pEntry);
    m_map.erase(it);
    m_cInUse -= pEntry->InUse() ? 1 : 0;
    m_cNotifiers -= pEntry->m_cNotifiers;
    pEntry->m_pMap = nullptr;
    pEntry->m_fDestroyed = true;
    Reclaim(pEntry);
}

void CMapIIDToItemEntry::BeginChange(const CItemEntry* pEntry) {
    m_cbEntries -= EntryBytes(pEntry);
}

void CMapIIDToItemEntry::EndChange(const CItemEntry* pEntry) {
    m_cbEntries += EntryBytes(pEntry);
}

void CMapIIDToItemEntry::Update(CItemEntry* pEntry, const DB_ITEM& item) {
    BeginChange(pEntry);
    pEntry->m_item = item;
    EndChange(pEntry);
}

uint64_t CMapIIDToItemEntry::Bytes() const {
    return m_cbEntries + m_map.bucket_count() * sizeof(void*);
}

std::vector<CItemEntry*> CMapIIDToItemEntry::Entries() const {
    std::vector<CItemEntry*> v;
    v.reserve(m_map.size());
    for (const auto& kv : m_map) {
        v.push_back(kv.second);
    }
    return v;
}

// ---- Entries --------------------------------------------------------------------------------

CItemEntry* FindEntry(BOARD_OBJECT* hbrd, uint32_t dwItemID) {
    return hbrd->pNotify != nullptr ? hbrd->pNotify->m_map.Find(dwItemID) : nullptr;
}

CItemEntry* PutEntry(BOARD_OBJECT* hbrd, const DB_ITEM& item) {
    CMapIIDToItemEntry& map = hbrd->pNotify->m_map;
    CItemEntry* pEntry = map.Find(item.item.itemid);
    if (pEntry != nullptr) {
        map.Update(pEntry, item);
        return pEntry;
    }
    pEntry = map.Insert(item);
    ComputeUnreadFlags(hbrd, pEntry);
    return pEntry;
}

CItemEntry* FindOrLoadEntry(BOARD_OBJECT* hbrd, uint32_t dwItemID, DBStatus* pStatus) {
    *pStatus = DBSuccess;
    CItemEntry* pEntry = FindEntry(hbrd, dwItemID);
    if (pEntry != nullptr) {
        return pEntry;
    }
    DB_ITEM item;
    *pStatus = ItemFindByID(hbrd->pdb, dwItemID, &item);
    return *pStatus == DBSuccess ? PutEntry(hbrd, item) : nullptr;
}

DBStatus RefreshEntry(BOARD_OBJECT* hbrd, CItemEntry* pEntry) {
    CMapIIDToItemEntry& map = hbrd->pNotify->m_map;
    map.BeginChange(pEntry);
    pEntry->m_item.dwFieldFlags = 0;
    DBStatus st = ItemRead(hbrd->pdb, &pEntry->m_item);
    map.EndChange(pEntry);
    return st;
}

void ComputeUnreadFlags(BOARD_OBJECT* hbrd, CItemEntry* pEntry) {
    if (hbrd->pUnread != nullptr) {
        pEntry->m_wUnreadFlags = hbrd->pUnread->UnreadFlags(pEntry->m_item.item.itemid);
    }
}

// ---- Handles --------------------------------------------------------------------------------

CItemEntry* AttachHandle(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem, const DB_ITEM& item,
                         EX_ITEMNOTIFIER pfnRoutine, uintptr_t ulValue, ITEM_ITERATOR* pIterator,
                         int32_t nIndex) {
    hItem->hBoard = hbrd;
    hItem->dwReferenceTag = item.dwRefTag;
    CItemEntry* pEntry = PutEntry(hbrd, item);
    AttachToEntry(hItem, pEntry, pfnRoutine, ulValue, pIterator, nIndex);
    return pEntry;
}

void AttachToEntry(ITEM_OBJECT* hItem, CItemEntry* pEntry, EX_ITEMNOTIFIER pfnRoutine,
                   uintptr_t ulValue, ITEM_ITERATOR* pIterator, int32_t nIndex,
                   std::unique_ptr<CItemNotifier> pPrepared) {
    hItem->fIteratorOwned = 1;
    hItem->pNotifier = RegisterNotifier(pEntry, pfnRoutine, ulValue, hItem, pIterator, nIndex,
                                        std::move(pPrepared));
    hItem->ItemEntry = pEntry;
    hItem->pdbItem = &pEntry->m_item;
}

void AssertItemRefreshed(DBStatus st) {
    if (st != DBSuccess && st != DBRecordModified) {
        ReportAssertion(
            "DBItemRefreshStatus == DBSuccess || DBItemRefreshStatus == DBRecordModified",
            ".\EXNOTIFY");
    }
}

// ---- Notifiers ------------------------------------------------------------------------------

CItemNotifier* RegisterNotifier(CItemEntry* pEntry, EX_ITEMNOTIFIER pfnRoutine, uintptr_t ulValue,
                                ITEM_OBJECT* hItem, ITEM_ITERATOR* pIterator, int32_t nIndex,
                                std::unique_ptr<CItemNotifier> pPrepared) {
    CItemNotifier* p = pPrepared ? pPrepared.release() : new CItemNotifier;
    p->m_hTask = pIterator != nullptr ? pIterator->iterEntry.m_hTask : ::getpid();
    p->m_pfnRoutine = pfnRoutine;
    p->m_ulValue = ulValue;
    p->m_hItem = hItem;
    p->m_pIterator = pIterator;
    p->m_nIndex = nIndex;
    pEntry->LinkNotifier(p);
    return p;
}

void UnregisterNotifier(CItemNotifier* pNotifier) {
    if (pNotifier == nullptr || pNotifier->m_pEntry == nullptr) {
        return;
    }
    pNotifier->m_pEntry->UnlinkNotifier(pNotifier);
    Reclaim(pNotifier);
}

static const char* ItemNameOf(const CItemNotifier* pNotifier) {
    if (pNotifier->m_hItem != nullptr && pNotifier->m_hItem->pdbItem != nullptr) {
        return pNotifier->m_hItem->pdbItem->item.itemname;
    }
    return pNotifier->m_pEntry != nullptr ? pNotifier->m_pEntry->m_item.item.itemname : "";
}

void NotifyItem(CItemNotifier* pNotifier, uint16_t wKind, uint32_t dwArgument) {
    if (pNotifier->m_pfnRoutine == nullptr) {
        return;
    }
    // Every notifier is registered by the process that reads its catalog; one of another task
    // (a parked list's, task 0) is not called.
    if (pNotifier->m_hTask != ::getpid()) {
        return;
    }
    // A handle's Destroyed call names the slot it occupied: its index was lowered already.
    const bool fDestroyedHandle = wKind == EX_CHANGE_DESTROYED && pNotifier->m_hItem != nullptr;
    long nLogged = pNotifier->m_nIndex + (fDestroyedHandle ? 1 : 0);
    long nIndex =
        pNotifier->m_nIndex + (fDestroyedHandle && pNotifier->m_pIterator != nullptr ? 1 : 0);
    LogLine(LOG_STORE, "NotifyItem: %s  0x%08lX[%03ld], 0x%08lX, 0x%08lX, %s\r\n",
            ChangeKindName(wKind),
            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pNotifier->m_pIterator)),
            nLogged, static_cast<unsigned long>(pNotifier->m_ulValue),
            static_cast<unsigned long>(dwArgument), ItemNameOf(pNotifier));
    pNotifier->m_pfnRoutine(pNotifier->m_hItem, pNotifier->m_pIterator, nIndex, wKind,
                            pNotifier->m_ulValue, dwArgument);
}

void InvalidateItemEntry(CItemNotifier* pNotifier) {
    ITEM_OBJECT* hItem = pNotifier->m_hItem;
    if (hItem == nullptr) {
        return;
    }
    if (!IsLiveItem(hItem)) {
        ReportAssertion("!IsBadWritePtr (m_hItem, sizeof(ITEM_OBJECT))", ".\\EXNOTIFY");
        return;
    }
    if (hItem->ItemEntry == nullptr) {
        ReportAssertion("!IsBadWritePtr (m_hItem->ItemEntry,4)", ".\\EXNOTIFY");
        return;
    }
    if (hItem->ItemEntry->m_fDestroyed) {
        ReportAssertion("!MFC_OBJDELETED (m_hItem->ItemEntry)", ".\\EXNOTIFY");
        return;
    }
    if (!IsLiveBoard(hItem->hBoard)) {
        ReportAssertion("!IsBadWritePtr (m_hItem->hBoard, sizeof(BOARD_OBJECT))", ".\\EXNOTIFY");
        return;
    }
    LogLine(LOG_STORE, "InvalidateItemEntry:  ID=%lu, %s\r\n",
            static_cast<unsigned long>(hItem->pdbItem->item.itemid), hItem->pdbItem->item.itemname);
    TakePrivateCopy(hItem);
    hItem->ItemEntry = nullptr;
}

// ---- Iterator entries -----------------------------------------------------------------------

void RegisterIteratorEntry(CItemEntry* pEntry, CIteratorEntry* pIterEntry,
                           ITEM_ITERATOR* pIterator) {
    pIterEntry->m_hTask = ::getpid();
    pIterEntry->m_pIterator = pIterator;
    pIterEntry->m_fSuspended = 0;
    pEntry->LinkIterator(pIterEntry);
}

void UnregisterIteratorEntry(CIteratorEntry* pIterEntry) {
    if (pIterEntry->m_pEntry != nullptr) {
        pIterEntry->m_pEntry->UnlinkIterator(pIterEntry);
    }
}

// ---- The whole cache ------------------------------------------------------------------------

void DestroyEntry(BOARD_OBJECT* hbrd, CItemEntry* pEntry) {
    for (CIteratorEntry* pIterEntry : pEntry->Iterators()) {
        ITEM_ITERATOR* pIter = pIterEntry->m_pIterator;
        UnregisterNotifier(pIter->pOwnNotifier);
        pIter->pOwnNotifier = nullptr;
        UnregisterIteratorEntry(pIterEntry);
        pIter->pFolderEntry = nullptr;
    }
    for (CItemNotifier* pNotifier : pEntry->Notifiers()) {
        InvalidateItemEntry(pNotifier);
        if (pNotifier->m_hItem != nullptr) {
            pNotifier->m_hItem->pNotifier = nullptr;
        }
        UnregisterNotifier(pNotifier);
    }
    hbrd->pNotify->m_map.Remove(pEntry);
}

CacheUsage CacheMemoryUsage(BOARD_OBJECT* hbrd, bool fTrim) {
    CacheUsage usage;
    NotifierTable* pTable = hbrd->pNotify;
    if (pTable == nullptr) {
        return usage;
    }
    if (fTrim) {
        pTable->m_retired.ReleaseAll();
        for (CItemEntry* pEntry : pTable->m_map.Entries()) {
            if (!pEntry->InUse()) {
                DestroyEntry(hbrd, pEntry);
            }
        }
    }
    usage.dwRetiredCapacity = CRetiredIterators::CAPACITY;
    usage.dwRetiredCount = pTable->m_retired.Count();
    usage.cbRetired = static_cast<uint32_t>(sizeof(CRetiredIterators));
    usage.dwEntryCount = pTable->m_map.Count();
    usage.dwEntriesInUse = pTable->m_map.InUseCount();
    uint64_t cb = pTable->m_map.Bytes() + pTable->m_map.NotifierCount() * sizeof(CItemNotifier);
    usage.cbEntries = static_cast<uint32_t>(cb > 0xFFFFFFFFu ? 0xFFFFFFFFu : cb);
    return usage;
}

void DropAllEntries(BOARD_OBJECT* hbrd) {
    NotifierTable* pTable = hbrd->pNotify;
    if (pTable == nullptr) {
        return;
    }
    pTable->m_retired.ReleaseAll();
    for (CItemEntry* pEntry : pTable->m_map.Entries()) {
        DestroyEntry(hbrd, pEntry);
    }
}

}  // namespace catstore
