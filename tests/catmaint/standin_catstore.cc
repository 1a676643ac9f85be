// A stand-in for libcatstore.so with only the three calls the structure verification binds.
// It answers as the environment tells it and writes each call to a trace file, so the binding,
// the arguments and the status rules of the verification can be tested before (and apart
// from) the real catalog store:
//   QN_STANDIN_CONNECT_STATUS  status EXBoardConnect writes (default 0; non-zero: no handle)
//   QN_STANDIN_VERIFY_RESULT   database-layer result of DBBoardVerify (default 0)
//   QN_STANDIN_TRACE           file the calls are appended to
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "catstore.h"

// The handle's leading fields as the catalog store lays them out.
struct BOARD_OBJECT {
    uint32_t dwClientTag;
    void* pClientEntry;
    void* pDatabaseContext;
    int nDatabase;
};

namespace {

int EnvNumber(const char* pszName, int nDefault) {
    const char* psz = std::getenv(pszName);
    return psz != nullptr && *psz != '\0' ? std::atoi(psz) : nDefault;
}

void Trace(const std::string& strLine) {
    const char* pszPath = std::getenv("QN_STANDIN_TRACE");
    if (pszPath == nullptr) {
        return;
    }
    if (FILE* pFile = std::fopen(pszPath, "a")) {
        std::fputs(strLine.c_str(), pFile);
        std::fputc('\n', pFile);
        std::fclose(pFile);
    }
}

}  // namespace

extern "C" {

BOARD_OBJECT* EXBoardConnect(const char* pszPath, int nOpenMode, EXSM_STATUS* pStatus) {
    Trace(std::string("connect ") + pszPath + " mode=" + std::to_string(nOpenMode));
    const int nStatus = EnvNumber("QN_STANDIN_CONNECT_STATUS", 0);
    *pStatus = static_cast<EXSM_STATUS>(nStatus);
    if (nStatus != 0) {
        return nullptr;
    }
    auto* pBoard = new BOARD_OBJECT{0x06221984u, nullptr, nullptr, 0};
    pBoard->pDatabaseContext = &pBoard->nDatabase;
    return pBoard;
}

__attribute__((visibility("default"))) uint16_t DBBoardVerify(void* pDatabaseContext, int fRepair) {
    // The context must be the one the handle carries.
    Trace(std::string("verify ") + (pDatabaseContext != nullptr ? "context" : "null") +
          " repair=" + std::to_string(fRepair));
    return static_cast<unsigned short>(EnvNumber("QN_STANDIN_VERIFY_RESULT", 0));
}

int EXBoardClose(BOARD_OBJECT* hbrd, EXSM_STATUS* pStatus) {
    Trace(hbrd != nullptr ? "close handle" : "close null");
    delete hbrd;
    *pStatus = EXSM_SUCCESS;
    return 0;
}

}  // extern "C"
