// The accessors of an item handle: members of ITEM_OBJECT for C++ callers and the same calls as
// plain C functions, which check the handle first.
#include <cstddef>
#include <cstring>

#include "cache.h"
#include "frame.h"
#include "handles.h"

using namespace catstore;

// The exported views are the stored records' own layouts.
static_assert(sizeof(EX_ITEM) == sizeof(qn::dbms::db_itemrec));
static_assert(offsetof(EX_ITEM, itemname) == offsetof(qn::dbms::db_itemrec, itemname));
static_assert(offsetof(EX_ITEM, itemaccess) == offsetof(qn::dbms::db_itemrec, itemaccess));
static_assert(offsetof(EX_ITEM, folderstruct) == offsetof(qn::dbms::db_itemrec, folderstruct));
static_assert(sizeof(EX_ATTACHMENT) == sizeof(qn::dbms::db_attachrec));
static_assert(offsetof(EX_ATTACHMENT, attnamepath) ==
              offsetof(qn::dbms::db_attachrec, attnamepath));
static_assert(offsetof(EX_ATTACHMENT, attreposkey) ==
              offsetof(qn::dbms::db_attachrec, attreposkey));
static_assert(sizeof(EX_FOLDER) == sizeof(qn::dbms::db_folderrec));
static_assert(offsetof(EX_FOLDER, folderlocationname) ==
              offsetof(qn::dbms::db_folderrec, folderlocationname));
static_assert(sizeof(EX_REPOSITORY) == sizeof(qn::dbms::db_repositoryrec));
static_assert(offsetof(EX_REPOSITORY, repositorylocationinfo) ==
              offsetof(qn::dbms::db_repositoryrec, repositorylocationinfo));

// What Folder() shows for an item without folder part.
static const EX_FOLDER s_zeroFolder{};

static void CopyText(char* pchField, size_t cbField, const char* psz) {
    std::memset(pchField, 0, cbField);
    if (psz != nullptr) {
        std::memcpy(pchField, psz, strnlen(psz, cbField));
    }
    pchField[cbField - 1] = '\0';
}

static EX_BLOB Blob(const std::string& str) {
    return EX_BLOB{static_cast<uint16_t>(std::min<size_t>(str.size(), 0xFFFF)), str.data()};
}

static std::string BlobBytes(const EX_BLOB& blob) {
    return blob.pbData != nullptr ? std::string(static_cast<const char*>(blob.pbData), blob.cbData)
                                  : std::string();
}

const EX_ITEM* ITEM_OBJECT::Item() const {
    return reinterpret_cast<const EX_ITEM*>(&pdbItem->item);
}
EX_ITEM* ITEM_OBJECT::SetItem() {
    TakePrivateCopy(this);
    return reinterpret_cast<EX_ITEM*>(&pdbItem->item);
}
const EX_ATTACHMENT* ITEM_OBJECT::Attachment() const {
    return reinterpret_cast<const EX_ATTACHMENT*>(&pdbItem->attach);
}
EX_ATTACHMENT* ITEM_OBJECT::SetAttachment() {
    TakePrivateCopy(this);
    return reinterpret_cast<EX_ATTACHMENT*>(&pdbItem->attach);
}
const EX_REPOSITORY* ITEM_OBJECT::Repository() const {
    return reinterpret_cast<const EX_REPOSITORY*>(&pdbItem->repos);
}
EX_REPOSITORY* ITEM_OBJECT::SetRepository() {
    TakePrivateCopy(this);
    return reinterpret_cast<EX_REPOSITORY*>(&pdbItem->repos);
}
const EX_FOLDER* ITEM_OBJECT::Folder() const {
    return pdbItem->folder ? reinterpret_cast<const EX_FOLDER*>(&*pdbItem->folder) : &s_zeroFolder;
}
EX_FOLDER* ITEM_OBJECT::SetFolder() {
    TakePrivateCopy(this);
    if (!pdbItem->folder) {
        // The item gets a folder part of its own, never the shared block of zeros.
        pdbItem->folder = qn::dbms::db_folderrec{};
    }
    return reinterpret_cast<EX_FOLDER*>(&*pdbItem->folder);
}
void ITEM_OBJECT::SetItemName(const char* pszName) {
    TakePrivateCopy(this);
    CopyText(pdbItem->item.itemname, sizeof pdbItem->item.itemname, pszName);
    pdbItem->dwFieldFlags |= EX_FIELD_ITEM;
}
void ITEM_OBJECT::SetItemDescription(const char* pszDescription) {
    TakePrivateCopy(this);
    CopyText(pdbItem->item.itemdescription, sizeof pdbItem->item.itemdescription, pszDescription);
    pdbItem->dwFieldFlags |= EX_FIELD_ITEM;
}
unsigned long ITEM_OBJECT::ItemFieldFlags() const {
    return pdbItem->dwFieldFlags;
}
void ITEM_OBJECT::SetItemFieldFlags(unsigned long dwFlags) {
    TakePrivateCopy(this);
    pdbItem->dwFieldFlags |= static_cast<uint32_t>(dwFlags);
}
uint16_t ITEM_OBJECT::ItemUnReadFlags() const {
    return ItemEntry != nullptr ? ItemEntry->m_wUnreadFlags : 0;
}
const char* ITEM_OBJECT::ItemNote() const {
    return pdbItem->vsiNote.value.c_str();
}
void ITEM_OBJECT::SetItemNote(const char* pszNote) {
    TakePrivateCopy(this);
    pdbItem->vsiNote.value = pszNote != nullptr ? pszNote : "";
}
const char* ITEM_OBJECT::ExtendedInfo() const {
    return pdbItem->vsiExtendedInfo.value.c_str();
}
void ITEM_OBJECT::SetExtendedInfo(const char* pszText) {
    TakePrivateCopy(this);
    pdbItem->vsiExtendedInfo.value = pszText != nullptr ? pszText : "";
}
const char* ITEM_OBJECT::Instructions() const {
    return pdbItem->vsiInstructions.value.c_str();
}
void ITEM_OBJECT::SetInstructions(const char* pszText) {
    TakePrivateCopy(this);
    pdbItem->vsiInstructions.value = pszText != nullptr ? pszText : "";
}
const char* ITEM_OBJECT::Keywords() const {
    return pdbItem->vsiKeywords.value.c_str();
}
void ITEM_OBJECT::SetKeywords(const char* pszText) {
    TakePrivateCopy(this);
    pdbItem->vsiKeywords.value = pszText != nullptr ? pszText : "";
}
const char* ITEM_OBJECT::Subscribers() const {
    return pdbItem->vsiSubscribers.value.c_str();
}
void ITEM_OBJECT::SetSubscribers(const char* pszText) {
    TakePrivateCopy(this);
    pdbItem->vsiSubscribers.value = pszText != nullptr ? pszText : "";
}
EX_BLOB ITEM_OBJECT::ReposLocation() const {
    return Blob(pdbItem->vsiReposLocation.value);
}
void ITEM_OBJECT::SetReposLocation(const EX_BLOB& blob) {
    TakePrivateCopy(this);
    pdbItem->vsiReposLocation.value = BlobBytes(blob);
}
EX_BLOB ITEM_OBJECT::ReposPolicy() const {
    return Blob(pdbItem->vsiReposPolicy.value);
}
void ITEM_OBJECT::SetReposPolicy(const EX_BLOB& blob) {
    TakePrivateCopy(this);
    pdbItem->vsiReposPolicy.value = BlobBytes(blob);
}
EX_BLOB ITEM_OBJECT::ReposPrivate() const {
    return Blob(pdbItem->vsiReposPrivate.value);
}
void ITEM_OBJECT::SetReposPrivate(const EX_BLOB& blob) {
    TakePrivateCopy(this);
    pdbItem->vsiReposPrivate.value = BlobBytes(blob);
}
const char* ITEM_OBJECT::AttachmentTopicName() const {
    return pdbItem->strAttachmentTopic.c_str();
}
void ITEM_OBJECT::SetAttachmentTopicName(const char* pszText) {
    TakePrivateCopy(this);
    pdbItem->strAttachmentTopic = pszText != nullptr ? pszText : "";
}
const char* ITEM_OBJECT::FolderTopicName() const {
    return pdbItem->strFolderTopic.c_str();
}
void ITEM_OBJECT::SetFolderTopicName(const char* pszText) {
    TakePrivateCopy(this);
    pdbItem->strFolderTopic = pszText != nullptr ? pszText : "";
}

// ---- The C functions ------------------------------------------------------------------------

// Runs an accessor on a live handle under the call lock; rFail for an invalid one.
template <typename R, typename F>
static R Access(const ITEM_OBJECT* hItem, R rFail, F&& fn) {
    return RunApiNoStatus(nullptr, rFail, [&]() -> R {
        if (!IsLiveItem(hItem) || hItem->pdbItem == nullptr) {
            return rFail;
        }
        return fn(const_cast<ITEM_OBJECT*>(hItem));
    });
}

template <typename F>
static void Change(ITEM_OBJECT* hItem, F&& fn) {
    Access(hItem, 0, [&](ITEM_OBJECT* h) {
        fn(h);
        return 0;
    });
}

extern "C" const EX_ITEM* EXItemObjectItem(const ITEM_OBJECT* hItem) {
    return Access(hItem, static_cast<const EX_ITEM*>(nullptr),
                  [](ITEM_OBJECT* h) { return h->Item(); });
}
extern "C" EX_ITEM* EXItemObjectSetItem(ITEM_OBJECT* hItem) {
    return Access(hItem, static_cast<EX_ITEM*>(nullptr),
                  [](ITEM_OBJECT* h) { return h->SetItem(); });
}
extern "C" const EX_ATTACHMENT* EXItemObjectAttachment(const ITEM_OBJECT* hItem) {
    return Access(hItem, static_cast<const EX_ATTACHMENT*>(nullptr),
                  [](ITEM_OBJECT* h) { return h->Attachment(); });
}
extern "C" EX_ATTACHMENT* EXItemObjectSetAttachment(ITEM_OBJECT* hItem) {
    return Access(hItem, static_cast<EX_ATTACHMENT*>(nullptr),
                  [](ITEM_OBJECT* h) { return h->SetAttachment(); });
}
extern "C" const EX_REPOSITORY* EXItemObjectRepository(const ITEM_OBJECT* hItem) {
    return Access(hItem, static_cast<const EX_REPOSITORY*>(nullptr),
                  [](ITEM_OBJECT* h) { return h->Repository(); });
}
extern "C" EX_REPOSITORY* EXItemObjectSetRepository(ITEM_OBJECT* hItem) {
    return Access(hItem, static_cast<EX_REPOSITORY*>(nullptr),
                  [](ITEM_OBJECT* h) { return h->SetRepository(); });
}
extern "C" const EX_FOLDER* EXItemObjectFolder(const ITEM_OBJECT* hItem) {
    return Access(hItem, static_cast<const EX_FOLDER*>(nullptr),
                  [](ITEM_OBJECT* h) { return h->Folder(); });
}
extern "C" EX_FOLDER* EXItemObjectSetFolder(ITEM_OBJECT* hItem) {
    return Access(hItem, static_cast<EX_FOLDER*>(nullptr),
                  [](ITEM_OBJECT* h) { return h->SetFolder(); });
}
extern "C" void EXItemObjectSetItemName(ITEM_OBJECT* hItem, const char* pszName) {
    Change(hItem, [&](ITEM_OBJECT* h) { h->SetItemName(pszName); });
}
extern "C" void EXItemObjectSetItemDescription(ITEM_OBJECT* hItem, const char* pszDescription) {
    Change(hItem, [&](ITEM_OBJECT* h) { h->SetItemDescription(pszDescription); });
}
extern "C" uint32_t EXItemObjectItemFieldFlags(const ITEM_OBJECT* hItem) {
    return Access(hItem, 0u,
                  [](ITEM_OBJECT* h) { return static_cast<uint32_t>(h->ItemFieldFlags()); });
}
extern "C" void EXItemObjectSetItemFieldFlags(ITEM_OBJECT* hItem, uint32_t dwFlags) {
    Change(hItem, [&](ITEM_OBJECT* h) { h->SetItemFieldFlags(dwFlags); });
}
extern "C" uint16_t EXItemObjectItemUnReadFlags(const ITEM_OBJECT* hItem) {
    return Access(hItem, static_cast<uint16_t>(0),
                  [](ITEM_OBJECT* h) { return h->ItemUnReadFlags(); });
}

#define QN_TEXT_ACCESSORS(Name)                                                      \
    extern "C" const char* EXItemObject##Name(const ITEM_OBJECT* hItem) {            \
        return Access(hItem, static_cast<const char*>(nullptr),                      \
                      [](ITEM_OBJECT* h) { return h->Name(); });                     \
    }                                                                                \
    extern "C" void EXItemObjectSet##Name(ITEM_OBJECT* hItem, const char* pszText) { \
        Change(hItem, [&](ITEM_OBJECT* h) { h->Set##Name(pszText); });               \
    }
QN_TEXT_ACCESSORS(ItemNote)
QN_TEXT_ACCESSORS(ExtendedInfo)
QN_TEXT_ACCESSORS(Instructions)
QN_TEXT_ACCESSORS(Keywords)
QN_TEXT_ACCESSORS(Subscribers)
QN_TEXT_ACCESSORS(AttachmentTopicName)
QN_TEXT_ACCESSORS(FolderTopicName)

#define QN_BLOB_ACCESSORS(Name)                                                               \
    extern "C" EX_BLOB EXItemObject##Name(const ITEM_OBJECT* hItem) {                         \
        return Access(hItem, EX_BLOB{0, nullptr}, [](ITEM_OBJECT* h) { return h->Name(); });  \
    }                                                                                         \
    extern "C" void EXItemObjectSet##Name(ITEM_OBJECT* hItem, const EX_BLOB* pBlob) {         \
        Change(hItem,                                                                         \
               [&](ITEM_OBJECT* h) { h->Set##Name(pBlob != nullptr ? *pBlob : EX_BLOB{}); }); \
    }
QN_BLOB_ACCESSORS(ReposLocation)
QN_BLOB_ACCESSORS(ReposPolicy)
QN_BLOB_ACCESSORS(ReposPrivate)
