// Movable global memory, the message-box hook, the product name and the tick count: the C
// services of qnplatform.h. Each shared library that carries them exports them, and the dynamic
// linker binds every caller of a process to one definition, so all their state lives here.

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "qnplatform.h"

struct QNGLOBAL_BLOCK {
    void* pData;
    size_t cb;
    unsigned int uFlags;
    unsigned int cLocks;
};

namespace {

// Blocks by handle; a handle is valid only while it is in this table.
std::mutex& TableMutex() {
    static std::mutex* pMutex = new std::mutex;
    return *pMutex;
}
std::unordered_map<QNGLOBAL_BLOCK*, bool>& Table() {
    static auto* pTable = new std::unordered_map<QNGLOBAL_BLOCK*, bool>;
    return *pTable;
}

bool IsValidHandle(QNHGLOBAL hMem) {
    return hMem != nullptr && Table().count(hMem) != 0;
}

}  // namespace

extern "C" {

QN_EXPORT QNHGLOBAL QNGlobalAlloc(unsigned int uFlags, size_t cb) {
    auto* pBlock = static_cast<QNGLOBAL_BLOCK*>(malloc(sizeof(QNGLOBAL_BLOCK)));
    if (pBlock == nullptr)
        return nullptr;
    // Always at least one byte, so a zero-size block still has a distinct address.
    pBlock->pData = (uFlags & QN_GMEM_ZEROINIT) ? calloc(1, cb ? cb : 1) : malloc(cb ? cb : 1);
    if (pBlock->pData == nullptr) {
        free(pBlock);
        return nullptr;
    }
    pBlock->cb = cb;
    pBlock->uFlags = uFlags;
    pBlock->cLocks = 0;
    try {
        std::lock_guard<std::mutex> lock(TableMutex());
        Table().emplace(pBlock, true);
    } catch (...) {
        free(pBlock->pData);
        free(pBlock);
        return nullptr;
    }
    return pBlock;
}

QN_EXPORT void* QNGlobalLock(QNHGLOBAL hMem) {
    std::lock_guard<std::mutex> lock(TableMutex());
    if (!IsValidHandle(hMem))
        return nullptr;
    if (hMem->cLocks < 0xFFFFFFFFu)
        hMem->cLocks++;
    return hMem->pData;
}

QN_EXPORT int QNGlobalUnlock(QNHGLOBAL hMem) {
    std::lock_guard<std::mutex> lock(TableMutex());
    if (!IsValidHandle(hMem))
        return 0;
    if (hMem->cLocks > 0)
        hMem->cLocks--;
    return hMem->cLocks != 0;
}

QN_EXPORT QNHGLOBAL QNGlobalReAlloc(QNHGLOBAL hMem, size_t cb, unsigned int uFlags) {
    std::lock_guard<std::mutex> lock(TableMutex());
    if (!IsValidHandle(hMem))
        return nullptr;
    void* pNew = realloc(hMem->pData, cb ? cb : 1);
    if (pNew == nullptr)
        return nullptr;
    if ((uFlags & QN_GMEM_ZEROINIT) && cb > hMem->cb) {
        memset(static_cast<char*>(pNew) + hMem->cb, 0, cb - hMem->cb);
    }
    hMem->pData = pNew;
    hMem->cb = cb;
    return hMem;
}

QN_EXPORT size_t QNGlobalSize(QNHGLOBAL hMem) {
    std::lock_guard<std::mutex> lock(TableMutex());
    return IsValidHandle(hMem) ? hMem->cb : 0;
}

QN_EXPORT QNHGLOBAL QNGlobalFree(QNHGLOBAL hMem) {
    {
        std::lock_guard<std::mutex> lock(TableMutex());
        if (!IsValidHandle(hMem))
            return hMem;
        Table().erase(hMem);
    }
    free(hMem->pData);
    free(hMem);
    return nullptr;
}

}  // extern "C"

// ---- Message boxes ----------------------------------------------------------------------------

namespace {

struct BoxState {
    std::mutex mutex;
    QNMessageBoxHandler pfnHandler = nullptr;
    void* pContext = nullptr;
};

BoxState& Boxes() {
    static auto* pState = new BoxState;
    return *pState;
}

}  // namespace

extern "C" {

QN_EXPORT int QNDefaultMessageBoxAnswer(unsigned int uType) {
    switch (uType & QN_MB_TYPEMASK) {
        case QN_MB_OKCANCEL:
        case QN_MB_YESNOCANCEL:
        case QN_MB_RETRYCANCEL:
            return QN_IDCANCEL;
        case QN_MB_ABORTRETRYIGNORE: {
            static const int rg[] = {QN_IDABORT, QN_IDRETRY, QN_IDIGNORE};
            unsigned n = (uType >> 8) & 0x3u;
            return rg[n < 3 ? n : 0];
        }
        case QN_MB_YESNO:
            return (uType & QN_MB_DEFBUTTON2) ? QN_IDNO : QN_IDYES;
        default:
            return QN_IDOK;
    }
}

QN_EXPORT QNMessageBoxHandler QNSetMessageBoxHandler(QNMessageBoxHandler pfnHandler,
                                                     void* pContext) {
    BoxState& state = Boxes();
    std::lock_guard<std::mutex> lock(state.mutex);
    QNMessageBoxHandler pfnOld = state.pfnHandler;
    state.pfnHandler = pfnHandler;
    state.pContext = pContext;
    return pfnOld;
}

QN_EXPORT int QNMessageBox(const char* pszText, const char* pszCaption, unsigned int uType) {
    QNMessageBoxHandler pfn;
    void* pContext;
    {
        BoxState& state = Boxes();
        std::lock_guard<std::mutex> lock(state.mutex);
        pfn = state.pfnHandler;
        pContext = state.pContext;
    }
    // The handler runs unlocked: it may show a box that calls back into the libraries.
    if (pfn == nullptr)
        return QNDefaultMessageBoxAnswer(uType);
    return pfn(pszText ? pszText : "", pszCaption ? pszCaption : "", uType, pContext);
}

}  // extern "C"

// ---- Product name -----------------------------------------------------------------------------

namespace {
constexpr size_t kMaxProductName = 128;
std::mutex& ProductMutex() {
    static auto* pMutex = new std::mutex;
    return *pMutex;
}
char g_szProductName[kMaxProductName + 1] = "Zelto Bookmarks";
}  // namespace

extern "C" {

QN_EXPORT void QNSetProductName(const char* pszName) {
    std::lock_guard<std::mutex> lock(ProductMutex());
    if (pszName == nullptr || *pszName == '\0')
        pszName = "Zelto Bookmarks";
    size_t cch = strnlen(pszName, kMaxProductName);
    memcpy(g_szProductName, pszName, cch);
    g_szProductName[cch] = '\0';
}

QN_EXPORT size_t QNGetProductName(char* pchBuffer, size_t cchBuffer) {
    std::lock_guard<std::mutex> lock(ProductMutex());
    size_t cch = strlen(g_szProductName);
    if (pchBuffer != nullptr && cchBuffer > 0) {
        size_t cchCopy = cch < cchBuffer - 1 ? cch : cchBuffer - 1;
        memcpy(pchBuffer, g_szProductName, cchCopy);
        pchBuffer[cchCopy] = '\0';
    }
    return cch;
}

// ---- Clock ------------------------------------------------------------------------------------

QN_EXPORT uint32_t QNGetTickCount(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

}  // extern "C"
