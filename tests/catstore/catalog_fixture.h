// Shared helpers of the catalog store tests: a fresh catalog in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "catstore.h"
#include "testsupport.h"

namespace cstest {

inline EX_STRING* Str(const char* psz) {
    return EXStringCreate(psz);
}

inline std::string Text(EX_STRING* h) {
    char ach[1024];
    EXStringGetText(h, ach, sizeof ach);
    return ach;
}

inline void FreeStr(EX_STRING* h) {
    QNGlobalFree(reinterpret_cast<QNHGLOBAL>(h));
}

inline void FreeUserInfo(EX_USERINFO* p) {
    for (EX_STRING* h : {p->hName, p->hDescription, p->hEmailAddr, p->hLongName, p->hPassword,
                         p->hLocalPassword, p->hSerialNumber}) {
        FreeStr(h);
    }
    QNGlobalFree(p->hShadowData);
}

// An item notifier that writes down every call; onCall (when set) runs inside the call.
struct NotifierCall {
    ITEM_OBJECT* hItem;
    ITEM_ITERATOR* pIter;
    long nIndex;
    uint16_t wKind;
    uint32_t dwArgument;
    std::string strName;  // the handle's item name at the time of the call
};
struct Recorder {
    std::vector<NotifierCall> calls;
    std::function<void(const NotifierCall&)> onCall;
    uintptr_t Value() { return reinterpret_cast<uintptr_t>(this); }
    size_t Count(uint16_t wKind) const {
        size_t n = 0;
        for (const NotifierCall& c : calls) {
            n += c.wKind == wKind ? 1 : 0;
        }
        return n;
    }
};
inline void RecordCall(ITEM_OBJECT* hItem, ITEM_ITERATOR* pIter, long nIndex, uint16_t wKind,
                       uintptr_t ulValue, uint32_t dwArgument) {
    auto* pRecorder = reinterpret_cast<Recorder*>(ulValue);
    char ach[64] = "";
    EXItemGetName(hItem, ach, sizeof ach);
    NotifierCall call{hItem, pIter, nIndex, wKind, dwArgument, ach};
    pRecorder->calls.push_back(call);
    if (pRecorder->onCall) {
        pRecorder->onCall(call);
    }
}

class CatalogTest : public ::testing::Test {
  protected:
    qn::test::IsolatedEnvironment m_env;
    qn::test::TempDir m_dir;
    std::string m_strPath = m_dir.file("cat.vfc");

    // Creates the catalog and closes it again.
    void MakeCatalog(const char* pszName = "Test Catalog") {
        EX_BOARDINFO info{};
        info.hName = Str(pszName);
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd =
            EXBoardCreate(m_strPath.c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
        FreeStr(info.hName);
        ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);
        ASSERT_NE(hbrd, nullptr);
        EXBoardClose(hbrd, &st);
    }

    BOARD_OBJECT* Open(const char* pszUser = "SYSTEM", const char* pszPassword = "",
                       EXSM_STATUS* pst = nullptr) {
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = EXBoardOpen(m_strPath.c_str(), pszUser, pszPassword, EX_OPEN_SHARED, 0,
                                         0, 0, nullptr, &st);
        if (pst != nullptr) {
            *pst = st;
        }
        return hbrd;
    }

    // Adds a user; returns its id (0 on failure).
    uint16_t AddUser(BOARD_OBJECT* hbrd, const char* pszName, const char* pszPassword,
                     EXSM_STATUS* pst = nullptr) {
        EX_USERINFO info{};
        info.hName = Str(pszName);
        info.hPassword = Str(pszPassword);
        info.hLongName = Str("Long Name");
        EXSM_STATUS st;
        USER_OBJECT* hUser = EXUserCreate(hbrd, &info, &st);
        FreeStr(info.hName);
        FreeStr(info.hPassword);
        FreeStr(info.hLongName);
        if (pst != nullptr) {
            *pst = st;
        }
        EXSM_STATUS st2;
        uint16_t wId = hUser ? EXUserGetID(hUser) : 0;
        EXUserRelease(hUser, &st2);
        return st == EXSM_SUCCESS ? wId : 0;
    }

    // Makes a group with one user in it; the status of the first step that failed, else success.
    EXSM_STATUS AddGroupWithMember(BOARD_OBJECT* hbrd, const char* pszGroup, const char* pszUser) {
        EX_GROUPINFO info{};
        info.hName = Str(pszGroup);
        EXSM_STATUS st;
        GROUP_OBJECT* hGroup = EXGroupCreate(hbrd, &info, &st);
        FreeStr(info.hName);
        USER_OBJECT* hUser = st == EXSM_SUCCESS ? EXUserFindByName(hbrd, pszUser, &st) : nullptr;
        if (st == EXSM_SUCCESS) {
            EXGroupAddUser(hGroup, hUser, &st);
        }
        EXSM_STATUS stRelease;
        EXUserRelease(hUser, &stRelease);
        EXGroupRelease(hGroup, &stRelease);
        return st;
    }
};

}  // namespace cstest
