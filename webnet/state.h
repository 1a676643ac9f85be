// The library-wide state every part of webnet shares: whether the library is initialised, the
// result codes of the exports, and the hooks by which the page scanner (scan/) takes part in
// QNINetInitialize and QNINetTerminate.
#pragma once

#include "webnet.h"

namespace qn::webnet {

// Result codes of the exports (the same values as the QNINET_* macros of webnet.h).
enum ResultCode : int {
    kOk = QNINET_OK,
    kErrInit = QNINET_ERR_INIT,
    kErrBadUrl = QNINET_ERR_BAD_URL,
    kErrFileSeek = QNINET_ERR_FILE_SEEK,
    kErrFileOpen = QNINET_ERR_FILE_OPEN,
    kErrNotInitialized = QNINET_ERR_NOT_INITIALIZED,
    kErrBufferTooSmall = QNINET_ERR_BUFFER_TOO_SMALL,
    kErrNoRoutine = QNINET_ERR_NO_ROUTINE,
    kErrTerminate = QNINET_ERR_TERMINATE,
    kErrLoad = QNINET_ERR_LOAD,
    kErrShutdown = QNINET_ERR_SHUTDOWN,
    kErrCancelBlocking = QNINET_ERR_CANCEL_BLOCKING,
    kErrBadArgs = QNINET_ERR_BAD_ARGS,
    kErrNoScanner = QNINET_ERR_NO_SCANNER,
    kErrNoTitle = QNINET_ERR_NO_TITLE,
    kErrProxyNotFound = QNINET_ERR_PROXY_NOT_FOUND,
    kErrUnknownSocket = QNINET_ERR_UNKNOWN_SOCKET,
    kErrHtBase = QNINET_ERR_HT_BASE,
    kNotModified = QNINET_NOT_MODIFIED,
};

// True between a successful QNINetInitialize and QNINetTerminate.
bool IsInitialized();

}  // namespace qn::webnet

// Defined by the page scanner (webnet/scan/) when it is built into the library: builds the
// scanner's element tables (called by QNINetInitialize) and releases the search-engine
// configuration cache (called by QNINetTerminate). Without the scanner the library calls
// neither (WEBNET_HAVE_SCAN is then not defined).
void ScanSubsystemInitialize();
void ScanSubsystemTerminate();
