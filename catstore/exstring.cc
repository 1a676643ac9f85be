#include "exstring.h"

#include <algorithm>
#include <cstring>

#include "frame.h"

namespace catstore {

EX_STRING* MakeExString(const char* pch, size_t cch) {
    if (pch == nullptr) {
        cch = 0;
    }
    cch = std::min<size_t>(cch, 0xFFFF);
    QNHGLOBAL h = QNGlobalAlloc(QN_GHND, cch + 4);
    if (h == nullptr) {
        return nullptr;
    }
    auto* pData = static_cast<unsigned char*>(QNGlobalLock(h));
    uint16_t cb = static_cast<uint16_t>(cch);
    std::memcpy(pData, &cb, sizeof cb);
    if (cch != 0) {
        std::memcpy(pData + 2, pch, cch);
    }
    QNGlobalUnlock(h);
    return reinterpret_cast<EX_STRING*>(h);
}

std::string ReadExString(EX_STRING* hString) {
    auto h = reinterpret_cast<QNHGLOBAL>(hString);
    if (h == nullptr) {
        return {};
    }
    size_t cbBlock = QNGlobalSize(h);
    if (cbBlock < 2) {
        return {};
    }
    auto* pData = static_cast<const unsigned char*>(QNGlobalLock(h));
    if (pData == nullptr) {
        return {};
    }
    uint16_t cb = 0;
    std::memcpy(&cb, pData, sizeof cb);
    size_t cch = std::min<size_t>(cb, cbBlock - 2);
    std::string str(reinterpret_cast<const char*>(pData + 2), cch);
    QNGlobalUnlock(h);
    // A caller string ends at its first NUL as well.
    size_t nul = str.find('\0');
    if (nul != std::string::npos) {
        str.resize(nul);
    }
    return str;
}

QNHGLOBAL MakeBytes(const void* pv, size_t cb) {
    if (cb == 0 || pv == nullptr) {
        return nullptr;
    }
    QNHGLOBAL h = QNGlobalAlloc(QN_GHND, cb);
    if (h == nullptr) {
        return nullptr;
    }
    std::memcpy(QNGlobalLock(h), pv, cb);
    QNGlobalUnlock(h);
    return h;
}

std::string ReadBytes(QNHGLOBAL hMem, size_t cb) {
    if (hMem == nullptr || cb == 0) {
        return {};
    }
    size_t cbBlock = QNGlobalSize(hMem);
    const void* pv = QNGlobalLock(hMem);
    if (pv == nullptr) {
        return {};
    }
    std::string str(static_cast<const char*>(pv), std::min(cb, cbBlock));
    QNGlobalUnlock(hMem);
    return str;
}

}  // namespace catstore

using namespace catstore;

extern "C" EX_STRING* EXStringCreate(const char* pszText) {
    return RunApiNoStatus(nullptr, static_cast<EX_STRING*>(nullptr), [&] {
        return MakeExString(pszText, pszText ? std::strlen(pszText) : 0);
    });
}

extern "C" size_t EXStringGetText(EX_STRING* hString, char* pchBuffer, size_t cchBuffer) {
    return RunApiNoStatus(nullptr, static_cast<size_t>(0), [&]() -> size_t {
        std::string str = ReadExString(hString);
        if (pchBuffer != nullptr && cchBuffer != 0) {
            size_t cch = std::min(str.size(), cchBuffer - 1);
            std::memcpy(pchBuffer, str.data(), cch);
            pchBuffer[cch] = '\0';
        }
        return str.size();
    });
}
