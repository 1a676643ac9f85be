// The loader: runs requests on libcurl, synchronously (inside the creating call) or driven by the
// application's socket events (QNINetAsyncContinue), and finishes them with the result codes,
// status calls and output hand-over of the library.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "guard.h"
#include "request.h"
#include "state.h"
#include "warn.h"

namespace qn::webnet {
namespace {

// ---- Library-wide state ----

bool g_fInterrupt = false;  // set by QNINetCloseAllConnections, cleared when a load starts
QNINetAsyncWindow g_pfnWindow = nullptr;
unsigned int g_uMessage = 0;
std::unordered_set<HTRequest*> g_liveRequests;
// Every socket libcurl opened for a request, with the watcher told about it (the request may
// be gone before libcurl closes the socket).
struct SocketOwner {
    HTRequest* pRequest = nullptr;
    QNINetAsyncWindow pfnWindow = nullptr;
    unsigned int uMessage = 0;
};
std::unordered_map<int, SocketOwner> g_socketOwners;
int g_nCallbackDepth = 0;

// The multi handle of the asynchronous loads, and where its timer goes.
CURLM* g_pAsyncMulti = nullptr;
QNINetAsyncWindow g_pfnTimerWindow = nullptr;
unsigned int g_uTimerMessage = 0;
bool g_fAsyncKick = false;
constexpr long long kNoTimer = LLONG_MAX;
// The watcher keeps one timer for libcurl and for the idle limits: when libcurl wants it, and
// when the watcher's timer is due now (kNoTimer: never).
long long g_msCurlTimerDue = kNoTimer;
long long g_msWatcherDue = kNoTimer;
// QNINetAsyncContinue's view of the request it drives.
HTRequest* g_pContinueTarget = nullptr;
bool g_fContinueTargetFinished = false;
int g_nContinueResult = 0;

// One multi handle kept for synchronous loads (nested synchronous loads get their own).
CURLM* g_pSyncMulti = nullptr;
bool g_fSyncMultiBusy = false;
std::vector<CURLM*> g_activeSyncMultis;

// Finished easy handles kept for the next load.
std::vector<CURL*> g_easyPool;
constexpr size_t kEasyPoolMax = 16;

long g_msConnectTimeout = 30000;
long g_msIdleTimeout = 60000;
std::string g_strCaFile;  // extra trusted CA certificates (PEM), empty for none

constexpr int kMaxRedirections = 10;  // the 10th redirection fails
constexpr int kMaxAuthPasses = 5;     // 401 answers one request may take before it gives up
constexpr int kErrorSeeOther = 7;

// The entries of the error table used below (see webnet.h).
constexpr int kHtNotModified = QNINET_HTERR_NOT_MODIFIED;
constexpr int kHtUnauthorized = QNINET_HTERR_UNAUTHORIZED;
constexpr int kHtHostNotFound = QNINET_HTERR_NOT_FOUND_HOST;
constexpr int kHtNoHost = QNINET_HTERR_NO_HOST;
constexpr int kHtFtpServer = QNINET_HTERR_FTP_SERVER;
constexpr int kHtTimeOut = QNINET_HTERR_TIME_OUT;
constexpr int kHtInterrupted = QNINET_HTERR_INTERRUPTED;
constexpr int kHtConnectInterrupted = QNINET_HTERR_CON_INTR;
constexpr int kHtHttp09 = QNINET_HTERR_HTTP09;
constexpr int kHtBadReply = QNINET_HTERR_BAD_REPLY;
constexpr int kHtMaxRedirect = QNINET_HTERR_MAX_REDIRECT;
constexpr int kHtEof = QNINET_HTERR_EOF;
constexpr int kHtSystem = QNINET_HTERR_SYSTEM;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Bytes moved (or the connection came up): the idle limit counts from now. libcurl's own
// low-speed check averages over seconds and ends a stalled load several seconds late.
void NoteActivity(HTRequest* pRequest) {
    pRequest->msLastActivity = NowMs();
}

// Milliseconds until the request's idle limit runs out (0: it has), or -1 when the limit
// is not armed yet (still connecting: the connect time-out applies).
long long IdleLeft(const HTRequest* pRequest, long long msNow) {
    if (pRequest->msLastActivity == 0)
        return -1;
    return std::max(0LL, pRequest->msLastActivity + g_msIdleTimeout - msNow);
}

void AddError(HTRequest* pRequest, int nEntry) {
    if (pRequest->nFirstError < 0)
        pRequest->nFirstError = nEntry;
}

// ---- Status routine ----

int CallStatus(HTRequest* pRequest, int nCode) {
    if (pRequest->pfnCallback == nullptr)
        return 1;
    // A routine that throws (an application in C++) stops the load as a 0 answer would.
    ++g_nCallbackDepth;
    int nResult = Guard("StatusRoutine", 0, [&] {
        return pRequest->pfnCallback(nCode, pRequest, pRequest->pUserData);
    });
    --g_nCallbackDepth;
    return nResult;
}

// The HTTP progress routine: false stops the load.
bool HttpProgress(HTRequest* pRequest, int nCode) {
    if (pRequest->fAbort || g_fInterrupt) {
        pRequest->fAbort = 1;
        return false;
    }
    int nResult = CallStatus(pRequest, nCode);
    if (pRequest->fAbort || g_fInterrupt) {
        pRequest->fAbort = 1;
        return false;
    }
    return nResult != 0;
}

// The FTP progress routine: the FTP loader's states mapped to the status routine's codes.
bool FtpProgress(HTRequest* pRequest, int nFtpState) {
    static const int kCodes[] = {-5, 0, 1, 1001, 1002, -1};
    int nCode = nFtpState >= 0 && nFtpState <= 5 ? kCodes[nFtpState] : -3;
    return HttpProgress(pRequest, nCode);
}

// Reports the state before a step; false (after the closing report) when the load must stop.
bool BeforeStep(HTRequest* pRequest, int nState) {
    if (HttpProgress(pRequest, nState))
        return true;
    pRequest->fStopped = true;
    HttpProgress(pRequest, nState);  // the step ends in the error state
    return false;
}

// Reports the end of a step that leads to nNewState; false when the report stops the load.
bool AfterStep(HTRequest* pRequest, int nOldState, int nNewState) {
    bool fGo = HttpProgress(pRequest, nNewState < 1 ? nOldState : nOldState + 1000);
    if (!fGo)
        pRequest->fStopped = true;
    return fGo;
}

// ---- libcurl callbacks ----

curl_socket_t OnOpenSocket(void* /*pClient*/, curlsocktype /*purpose*/,
                           struct curl_sockaddr* pAddress) {
    return Guard("OnOpenSocket", CURL_SOCKET_BAD, [&]() -> curl_socket_t {
        return socket(pAddress->family, pAddress->socktype | SOCK_CLOEXEC, pAddress->protocol);
    });
}

int OnSocketOpened(void* pClient, curl_socket_t fd, curlsocktype /*purpose*/) {
    return Guard("OnSocketOpened", CURL_SOCKOPT_ERROR, [&]() -> int {
        auto* pRequest = static_cast<HTRequest*>(pClient);
        g_socketOwners[fd] = SocketOwner{pRequest, pRequest->pfnWindow, pRequest->uMessage};
        pRequest->vecSockets.push_back(fd);
        if (pRequest->lSocket == -1)
            pRequest->lSocket = fd;
        else if (pRequest->lSocket2 == -1)
            pRequest->lSocket2 = fd;
        return CURL_SOCKOPT_OK;
    });
}

// libcurl may close a connection's socket after the request is gone; the owner table says
// which live request (if any) still refers to it.
int OnCloseSocket(void* /*pClient*/, curl_socket_t fd) {
    return Guard("OnCloseSocket", -1, [&]() -> int {
        auto it = g_socketOwners.find(fd);
        if (it != g_socketOwners.end()) {
            HTRequest* pRequest = it->second.pRequest;
            if (g_liveRequests.count(pRequest) != 0) {
                if (pRequest->lSocket == fd)
                    pRequest->lSocket = -1;
                if (pRequest->lSocket2 == fd)
                    pRequest->lSocket2 = -1;
            }
            g_socketOwners.erase(it);
        }
        return close(fd);
    });
}

int OnConnected(void* pClient, char* /*ip*/, char* /*localIp*/, int /*port*/, int /*localPort*/) {
    return Guard("OnConnected", CURL_PREREQFUNC_ABORT, [&]() -> int {
        auto* pRequest = static_cast<HTRequest*>(pClient);
        NoteActivity(pRequest);
        if (pRequest->fFtp && !pRequest->fHttpSemantics) {
            if (!FtpProgress(pRequest, 2) || !FtpProgress(pRequest, 3)) {
                pRequest->fStopped = true;
                return CURL_PREREQFUNC_ABORT;
            }
            pRequest->nState = 2;
            return CURL_PREREQFUNC_OK;
        }
        // The connecting step is over; the request step begins.
        if (!AfterStep(pRequest, 1, 2) || !BeforeStep(pRequest, 2))
            return CURL_PREREQFUNC_ABORT;
        pRequest->nState = 2;
        return CURL_PREREQFUNC_OK;
    });
}

bool WriteOutput(HTRequest* pRequest, const char* pData, size_t cb) {
    switch (pRequest->nOutputKind) {
        case kOutputMemory:
            pRequest->chunk.append(pData, cb);
            return true;
        case kOutputHandle:
        case kOutputFile:
            while (cb > 0) {
                ssize_t n = write(pRequest->fdOutput, pData, cb);
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    return false;
                }
                pData += n;
                cb -= static_cast<size_t>(n);
            }
            return true;
        default:
            return true;
    }
}

void DecideOnStatus(HTRequest* pRequest) {
    int nStatus = pRequest->nStatus;
    switch (nStatus) {
        case 200:
            pRequest->decision = Decision::kGotData;
            break;
        case 0:
        case 201:
        case 202:
        case 203:
        case 204:
            pRequest->decision = Decision::kNoData;
            break;
        case 301:
        case 302:
        case 307:  // today's servers answer these where 301 and 302 were used
        case 308:
            pRequest->decision = Decision::kRedirect;
            break;
        case 303:
            Warn("%s", "This client doesn't support automatic redirection of type `Method'");
            AddError(pRequest, kErrorSeeOther);
            pRequest->decision = Decision::kError;
            break;
        case 304:
            AddError(pRequest, kHtNotModified);
            pRequest->decision = Decision::kNotModified;
            break;
        case 401:
            pRequest->decision = Decision::kAuth;
            break;
        default: {
            int nIndex = ErrorTableIndexOfStatus(nStatus);
            AddError(pRequest, nIndex >= 9 ? nIndex : kHtBadReply);
            pRequest->decision = Decision::kError;
            break;
        }
    }
}

size_t OnHeader(char* pData, size_t cbSize, size_t cItems, void* pClient) {
    return Guard("OnHeader", size_t{0}, [&]() -> size_t {
        auto* pRequest = static_cast<HTRequest*>(pClient);
        const size_t cb = cbSize * cItems;
        NoteActivity(pRequest);
        if (!pRequest->fHttpSemantics)
            return cb;  // FTP replies
        std::string_view line(pData, cb);
        if (!pRequest->fStatusSeen) {
            StatusLine status = ParseStatusLine(line);
            pRequest->fStatusSeen = true;
            pRequest->nStatus = status.nStatus;
            if (!status.fHttp || (status.nStatus >= 100 && status.nStatus < 200)) {
                // An interim or unreadable answer: nothing the loader knows how to continue.
                AddError(pRequest, kHtBadReply);
                pRequest->decision = Decision::kError;
                return 0;
            }
            return cb;
        }
        if (pRequest->fHeadersDone)
            return cb;  // trailers
        if (line == "\r\n" || line == "\n") {
            pRequest->fHeadersDone = true;
            DecideOnStatus(pRequest);
            if (pRequest->nMethod == kMethodHead && pRequest->decision == Decision::kGotData) {
                pRequest->headText.append(line);
                if (!WriteOutput(pRequest, pRequest->headText.data(), pRequest->headText.size())) {
                    pRequest->fWriteFailed = true;
                    return 0;
                }
            }
            return cb;
        }
        if (pRequest->nMethod == kMethodHead)
            pRequest->headText.append(line);  // what a HEAD hands over
        std::string_view name, value;
        if (ParseHeaderLine(line, &name, &value)) {
            if (EqualsNoCase(name, "Location"))
                pRequest->location.assign(value);
            else if (EqualsNoCase(name, "WWW-Authenticate"))
                ParseChallenges(value, &pRequest->challenges);
        }
        return cb;
    });
}

size_t OnBody(char* pData, size_t cbSize, size_t cItems, void* pClient) {
    return Guard("OnBody", size_t{0}, [&]() -> size_t {
        auto* pRequest = static_cast<HTRequest*>(pClient);
        const size_t cb = cbSize * cItems;
        NoteActivity(pRequest);
        if (!pRequest->fHttpSemantics) {
            if (!pRequest->fFtpTransferReported) {
                pRequest->fFtpTransferReported = true;
                if (!FtpProgress(pRequest, 4)) {
                    pRequest->fStopped = true;
                    return 0;
                }
            }
        } else if (!pRequest->fStatusSeen) {
            // No status line: an HTTP 0.9 server. The whole answer is the document.
            if (!pRequest->fHttp09) {
                pRequest->fHttp09 = true;
                AddError(pRequest, kHtHttp09);
                pRequest->decision = Decision::kGotData;
            }
        } else if (pRequest->decision != Decision::kGotData || pRequest->nMethod == kMethodHead) {
            return cb;  // the error stream: not the output
        }
        if (!WriteOutput(pRequest, pData, cb)) {
            pRequest->fWriteFailed = true;
            return 0;
        }
        return cb;
    });
}

size_t OnReadSource(char* pBuffer, size_t cbSize, size_t cItems, void* pClient) {
    return Guard("OnReadSource", size_t{CURL_READFUNC_ABORT}, [&]() -> size_t {
        auto* pRequest = static_cast<HTRequest*>(pClient);
        size_t cbWanted = cbSize * cItems;
        NoteActivity(pRequest);
        if (!pRequest->fHttpSemantics && !pRequest->fFtpTransferReported) {
            pRequest->fFtpTransferReported = true;
            if (!FtpProgress(pRequest, 4)) {
                pRequest->fStopped = true;
                return CURL_READFUNC_ABORT;
            }
        }
        if (pRequest->nSourceKind == kSourceMemory) {
            size_t cbLeft = pRequest->source.size() - static_cast<size_t>(pRequest->cbSent);
            size_t n = std::min(cbWanted, cbLeft);
            memcpy(pBuffer, pRequest->source.data() + pRequest->cbSent, n);
            pRequest->cbSent += static_cast<long long>(n);
            return n;
        }
        if (pRequest->fdSource < 0)
            return CURL_READFUNC_ABORT;
        for (;;) {
            ssize_t n = read(pRequest->fdSource, pBuffer, cbWanted);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return CURL_READFUNC_ABORT;
            pRequest->cbSent += n;
            return static_cast<size_t>(n);
        }
    });
}

// ---- Asynchronous socket watching ----

int OnSocketEvent(CURL* /*pEasy*/, curl_socket_t fd, int nWhat, void* /*pClient*/,
                  void* /*pSocketData*/) {
    return Guard("OnSocketEvent", -1, [&]() -> int {
        auto it = g_socketOwners.find(fd);
        if (it == g_socketOwners.end() || it->second.pfnWindow == nullptr)
            return 0;
        long lEvents = 0;
        switch (nWhat) {
            case CURL_POLL_IN:
                lEvents = QNINET_FD_READ;
                break;
            case CURL_POLL_OUT:
                lEvents = QNINET_FD_WRITE;
                break;
            case CURL_POLL_INOUT:
                lEvents = QNINET_FD_READ | QNINET_FD_WRITE;
                break;
            default:
                lEvents = 0;
                break;
        }
        it->second.pfnWindow(it->second.uMessage, fd, lEvents);
        return 0;
    });
}

int OnTimer(CURLM* /*pMulti*/, long msTimeout, void* /*pClient*/) {
    return Guard("OnTimer", -1, [&]() -> int {
        g_msCurlTimerDue = msTimeout < 0 ? kNoTimer : NowMs() + msTimeout;
        g_msWatcherDue = g_msCurlTimerDue;
        if (g_pfnTimerWindow != nullptr)
            g_pfnTimerWindow(g_uTimerMessage, QNINET_TIMER_SOCKET, msTimeout);
        return 0;
    });
}

CURLM* AsyncMulti() {
    if (g_pAsyncMulti == nullptr) {
        g_pAsyncMulti = curl_multi_init();
        if (g_pAsyncMulti != nullptr) {
            curl_multi_setopt(g_pAsyncMulti, CURLMOPT_SOCKETFUNCTION, OnSocketEvent);
            curl_multi_setopt(g_pAsyncMulti, CURLMOPT_TIMERFUNCTION, OnTimer);
        }
    }
    return g_pAsyncMulti;
}

// ---- Requests ----

// A handle with the options every load shares.
CURL* MakeEasy() {
    CURL* pEasy = curl_easy_init();
    if (pEasy == nullptr)
        return nullptr;
    const long sIdle = std::max(1L, (g_msIdleTimeout + 999) / 1000);
    // The idle limit is ours (NoteActivity, IdleLeft). libcurl's low-speed check samples once a
    // second and, on a loaded machine, can end a load that is still moving at the limit itself,
    // so it only stands behind ours, at twice the limit.
    const long sLowSpeedBackstop = 2 * sIdle + 1;
    curl_easy_setopt(pEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pEasy, CURLOPT_PROTOCOLS_STR, "http,https,ftp");
    curl_easy_setopt(pEasy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(pEasy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(pEasy, CURLOPT_HTTP09_ALLOWED, 1L);
    curl_easy_setopt(pEasy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(pEasy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(pEasy, CURLOPT_CONNECTTIMEOUT_MS, g_msConnectTimeout);
    curl_easy_setopt(pEasy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(pEasy, CURLOPT_LOW_SPEED_TIME, sLowSpeedBackstop);
    curl_easy_setopt(pEasy, CURLOPT_SERVER_RESPONSE_TIMEOUT, sIdle);
    curl_easy_setopt(pEasy, CURLOPT_OPENSOCKETFUNCTION, OnOpenSocket);
    curl_easy_setopt(pEasy, CURLOPT_SOCKOPTFUNCTION, OnSocketOpened);
    curl_easy_setopt(pEasy, CURLOPT_CLOSESOCKETFUNCTION, OnCloseSocket);
    curl_easy_setopt(pEasy, CURLOPT_PREREQFUNCTION, OnConnected);
    curl_easy_setopt(pEasy, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(pEasy, CURLOPT_READFUNCTION, OnReadSource);
    // Only the proxy and exception tables decide where a request goes: an empty exception
    // list here keeps libcurl from reading no_proxy from the environment.
    curl_easy_setopt(pEasy, CURLOPT_NOPROXY, "");
    // The proxy's answer to a CONNECT is not the server's response.
    curl_easy_setopt(pEasy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(pEasy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    // Verification stays on; a private CA is trusted beside the system's (CAPATH stays).
    if (!g_strCaFile.empty())
        curl_easy_setopt(pEasy, CURLOPT_CAINFO, g_strCaFile.c_str());
    return pEasy;
}

CURL* TakeEasy() {
    if (!g_easyPool.empty()) {
        CURL* pEasy = g_easyPool.back();
        g_easyPool.pop_back();
        return pEasy;
    }
    return MakeEasy();
}

void ReturnEasy(CURL* pEasy) {
    if (pEasy == nullptr)
        return;
    if (g_easyPool.size() < kEasyPoolMax) {
        g_easyPool.push_back(pEasy);  // configured anew by the next load
    } else {
        curl_easy_cleanup(pEasy);
    }
}

void DetachFromMulti(HTRequest* pRequest) {
    if (pRequest->fInMulti) {
        curl_multi_remove_handle(pRequest->pMulti, pRequest->pEasy);
        pRequest->fInMulti = false;
    }
}

void ReleaseRequest(HTRequest* pRequest) {
    DetachFromMulti(pRequest);
    g_liveRequests.erase(pRequest);
    for (int fd : pRequest->vecSockets) {
        auto it = g_socketOwners.find(fd);
        if (it != g_socketOwners.end() && it->second.pRequest == pRequest)
            it->second.pRequest = nullptr;
    }
    if (pRequest->pEasy != nullptr)
        curl_easy_setopt(pRequest->pEasy, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
    ReturnEasy(pRequest->pEasy);
    pRequest->pEasy = nullptr;
    if (pRequest->pHeaders != nullptr)
        curl_slist_free_all(pRequest->pHeaders);
    if (pRequest->fOwnOutput && pRequest->fdOutput >= 0)
        close(pRequest->fdOutput);
    if (pRequest->fdSource >= 0)
        close(pRequest->fdSource);
    delete pRequest;
}

// Hands the memory output to the caller.
void HandOverMemory(HTRequest* pRequest) {
    std::string& chunk = pRequest->chunk;
    if (chunk.empty()) {
        *pRequest->pcbLength = 0;
        return;
    }
    if (chunk.back() != '\0')
        chunk.push_back('\0');
    const size_t cbTotal = chunk.size();
    long cbCapacity = pRequest->cbBuffer;
    if (*pRequest->ppBuffer == nullptr) {
        *pRequest->ppBuffer = static_cast<char*>(malloc(cbTotal));
        cbCapacity = *pRequest->ppBuffer != nullptr ? static_cast<long>(cbTotal) : 0;
    }
    if (cbCapacity >= 0 && static_cast<size_t>(cbCapacity) >= cbTotal)
        memcpy(*pRequest->ppBuffer, chunk.data(), cbTotal);
    *pRequest->pcbLength = static_cast<long>(cbTotal);
    std::string().swap(chunk);
}

// Finishes a request with code c: the error stack decides the result, the output is handed
// over, the status routine gets its completion call, and the request is released.
int Finish(HTRequest* pRequest, int c) {
    bool fNotModified = false;
    const int n = pRequest->nFirstError;
    if (n >= 0) {
        if (n == kHtNotModified)
            fNotModified = true;
        else if (n == kHtHostNotFound && !pRequest->strProxy.empty())
            c = kErrProxyNotFound;
        else if (n >= 1)
            c = n + kErrHtBase;
    }
    if (n >= 0 || c != 0)
        DetachFromMulti(pRequest);  // closes the connection
    if (pRequest->nOutputKind == kOutputMemory)
        HandOverMemory(pRequest);
    if (pRequest->pfnCallback != nullptr && !pRequest->fAbort && !g_fInterrupt) {
        CallStatus(pRequest, fNotModified ? QNINET_DONE_NOT_MODIFIED
                                          : (c == 0 ? QNINET_DONE_LOADED : QNINET_DONE_FAILED + c));
    }
    int nResult = fNotModified ? kNotModified : c;
    if (pRequest == g_pContinueTarget) {
        g_fContinueTargetFinished = true;
        g_nContinueResult = nResult;
    }
    ReleaseRequest(pRequest);
    return nResult;
}

int FailureCode(const HTRequest* pRequest) {
    if (pRequest->nDirectCode != 0)
        return pRequest->nDirectCode;
    if (!pRequest->fBlocking && pRequest->fAbort)
        return kErrShutdown;
    return kErrLoad;
}

// Maps a transfer's libcurl failure to the error-table entry the loader reports (-1: none).
int ErrorEntryOfCurl(const HTRequest* pRequest, CURLcode rc) {
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return kHtHostNotFound;
        case CURLE_COULDNT_CONNECT:
            return kHtSystem;
        case CURLE_OPERATION_TIMEDOUT:
            return kHtTimeOut;
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return kHtEof;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return kHtInterrupted;
        case CURLE_OUT_OF_MEMORY:  // also a header line beyond libcurl's limit
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_TOO_MANY_REDIRECTS:
            return pRequest->fFtp && !pRequest->fHttpSemantics ? kHtFtpServer : kHtBadReply;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
            return kHtConnectInterrupted;
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_FTP_ACCEPT_FAILED:
        case CURLE_FTP_WEIRD_PASS_REPLY:
        case CURLE_FTP_ACCEPT_TIMEOUT:
        case CURLE_FTP_WEIRD_PASV_REPLY:
        case CURLE_FTP_WEIRD_227_FORMAT:
        case CURLE_FTP_CANT_GET_HOST:
        case CURLE_FTP_COULDNT_SET_TYPE:
        case CURLE_FTP_COULDNT_RETR_FILE:
        case CURLE_QUOTE_ERROR:
        case CURLE_UPLOAD_FAILED:
        case CURLE_FTP_PORT_FAILED:
        case CURLE_FTP_COULDNT_USE_REST:
        case CURLE_LOGIN_DENIED:
        case CURLE_REMOTE_FILE_NOT_FOUND:
        case CURLE_FTP_PRET_FAILED:
        case CURLE_FTP_BAD_FILE_LIST:
        case CURLE_REMOTE_DISK_FULL:
        case CURLE_REMOTE_FILE_EXISTS:
            return kHtFtpServer;
        default:
            return kHtSystem;
    }
}

void ReadEnvTimeout(const char* pszName, long* pmsValue) {
    const char* pszValue = getenv(pszName);
    if (pszValue == nullptr || *pszValue == '\0')
        return;
    char* pszEnd = nullptr;
    long value = strtol(pszValue, &pszEnd, 10);
    if (pszEnd != pszValue && *pszEnd == '\0' && value > 0)
        *pmsValue = value;
}

// Why a TLS handshake failed, in words (empty for failures that are not TLS ones).
std::string DescribeTlsFailure(HTRequest* pRequest, CURLcode rc) {
    if (rc != CURLE_PEER_FAILED_VERIFICATION && rc != CURLE_SSL_CONNECT_ERROR &&
        rc != CURLE_SSL_CERTPROBLEM && rc != CURLE_SSL_CIPHER && rc != CURLE_SSL_CACERT_BADFILE)
        return {};
    long lVerify = 0;
    curl_easy_getinfo(pRequest->pEasy, CURLINFO_SSL_VERIFYRESULT, &lVerify);
    // OpenSSL's X509_V_ERR_* values.
    switch (lVerify) {
        case 9:
            return "certificate is not yet valid";
        case 10:
            return "certificate has expired";
        case 18:
        case 19:
            return "self-signed certificate";
        case 2:
        case 20:
        case 21:
            return "unknown certificate authority";
        case 23:
            return "certificate has been revoked";
        case 62:
            return "certificate is not valid for this host name";
        default:
            break;
    }
    const std::string_view detail(pRequest->szCurlError);
    if (rc == CURLE_PEER_FAILED_VERIFICATION)
        return detail.find("name") != std::string_view::npos
                   ? "certificate is not valid for this host name"
                   : "certificate refused: " + std::string(detail);
    if (rc == CURLE_SSL_CACERT_BADFILE)
        return "the trusted CA certificates cannot be read";
    if (detail.find("wrong version number") != std::string_view::npos ||
        detail.find("packet length too long") != std::string_view::npos)
        return "not a TLS server";
    return "TLS handshake failed: " + std::string(detail);
}

// Opens and measures the POST or PUT source file; false when it cannot be sent.
bool PrepareSource(HTRequest* pRequest) {
    pRequest->cbSent = 0;
    if (pRequest->nSourceKind == kSourceMemory) {
        pRequest->cbSource = static_cast<long long>(pRequest->source.size());
        return true;
    }
    if (pRequest->fdSource >= 0) {
        close(pRequest->fdSource);
        pRequest->fdSource = -1;
    }
    int fd = open(pRequest->source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return false;
    }
    pRequest->fdSource = fd;
    pRequest->cbSource = st.st_size;
    return true;
}

// The URL libcurl loads: the request's URL without credentials for HTTP (credentials come
// only from the realm table), with every byte above 127 after the host percent-encoded, in the
// query as in the path (libcurl would encode the path only).
std::string TransferUrl(const HTRequest* pRequest) {
    const std::string& strUrl = pRequest->strUrl;
    if (pRequest->fFtp)
        return strUrl;
    UrlParts parts = SplitUrl(strUrl);
    const size_t iRest =
        parts.fHasHost ? static_cast<size_t>(parts.host.data() - strUrl.data()) + parts.host.size()
                       : 0;
    std::string url;
    std::string_view host = HostWithoutUser(parts.host);
    if (host.size() != parts.host.size()) {
        url.append(parts.scheme);
        url.append("://");
        url.append(host);
    } else {
        url.append(strUrl, 0, iRest);
    }
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = iRest; i < strUrl.size(); ++i) {
        const auto ch = static_cast<unsigned char>(strUrl[i]);
        if (ch < 0x80) {
            url.push_back(static_cast<char>(ch));
        } else {
            url.push_back('%');
            url.push_back(kHex[ch >> 4]);
            url.push_back(kHex[ch & 0x0F]);
        }
    }
    return url;
}

// Sets up libcurl for the next transfer of the request; false when it cannot start.
bool ConfigureTransfer(HTRequest* pRequest) {
    CURL* pEasy = pRequest->pEasy;
    pRequest->fStatusSeen = false;
    pRequest->fHeadersDone = false;
    pRequest->fHttp09 = false;
    pRequest->nStatus = 0;
    pRequest->decision = Decision::kPending;
    pRequest->headText.clear();
    pRequest->location.clear();
    pRequest->challenges.clear();
    pRequest->fFtpTransferReported = false;
    pRequest->msLastActivity = 0;

    const std::string url = TransferUrl(pRequest);
    pRequest->strProxy = ChooseProxy(pRequest->strUrl);
    pRequest->fHttpSemantics = !pRequest->fFtp || !pRequest->strProxy.empty();

    // Everything that differs between loads is set on every transfer (the handle may have
    // served another request before); the rest was set when the handle was made.
    curl_easy_setopt(pEasy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(pEasy, CURLOPT_PRIVATE, pRequest);
    pRequest->szCurlError[0] = '\0';
    curl_easy_setopt(pEasy, CURLOPT_ERRORBUFFER, pRequest->szCurlError);
    // Nothing from the environment: the proxy table alone decides.
    curl_easy_setopt(pEasy, CURLOPT_PROXY, pRequest->strProxy.c_str());
    curl_easy_setopt(pEasy, CURLOPT_SOCKOPTDATA, pRequest);
    curl_easy_setopt(pEasy, CURLOPT_PREREQDATA, pRequest);
    curl_easy_setopt(pEasy, CURLOPT_HEADERDATA, pRequest);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, pRequest);
    curl_easy_setopt(pEasy, CURLOPT_READDATA, pRequest);
    // One synchronous load at a time reads in large blocks, as the curl tool does; many
    // concurrent asynchronous ones keep libcurl's smaller default.
    curl_easy_setopt(pEasy, CURLOPT_BUFFERSIZE, pRequest->fBlocking ? 100L * 1024 : 16L * 1024);
    curl_easy_setopt(pEasy, CURLOPT_HTTPGET, 1L);  // also clears NOBODY and UPLOAD
    curl_easy_setopt(pEasy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
    curl_easy_setopt(pEasy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(-1));
    curl_easy_setopt(pEasy, CURLOPT_USERNAME, static_cast<const char*>(nullptr));
    curl_easy_setopt(pEasy, CURLOPT_PASSWORD, static_cast<const char*>(nullptr));
    curl_easy_setopt(pEasy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));

    const bool fBody = pRequest->nMethod == kMethodPost || pRequest->nMethod == kMethodPut;
    if (fBody && !PrepareSource(pRequest))
        return false;
    switch (pRequest->nMethod) {
        case kMethodHead:
            curl_easy_setopt(pEasy, CURLOPT_NOBODY, 1L);
            break;
        case kMethodPost:
            curl_easy_setopt(pEasy, CURLOPT_POST, 1L);
            curl_easy_setopt(pEasy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(pRequest->cbSource));
            break;
        case kMethodPut:
            curl_easy_setopt(pEasy, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(pEasy, CURLOPT_INFILESIZE_LARGE,
                             static_cast<curl_off_t>(pRequest->cbSource));
            break;
        default:
            break;
    }

    if (pRequest->fFtp && pRequest->strProxy.empty()) {
        UrlParts parts = SplitUrl(pRequest->strUrl);
        if (parts.host.find('@') == std::string_view::npos) {
            // Anonymous login with the user's name as the password, as FTP servers expect.
            const char* pszUser = getenv("USER");
            std::string password = (pszUser != nullptr && *pszUser != '\0') ? pszUser : "WWWuser";
            password.push_back('@');
            curl_easy_setopt(pEasy, CURLOPT_USERNAME, "anonymous");
            curl_easy_setopt(pEasy, CURLOPT_PASSWORD, password.c_str());
        }
    }

    if (pRequest->fHttpSemantics) {
        UrlParts parts = SplitUrl(pRequest->strUrl);
        RequestHeaderInput input;
        input.host = HostWithoutUser(parts.host);
        // Once a load went over TLS, a redirection to plain HTTP carries no credentials.
        const bool fTls = ClassifyScheme(parts.scheme) == Scheme::kHttps;
        pRequest->fWentOverTls = pRequest->fWentOverTls || fTls;
        if (!pRequest->fFtp && (fTls || !pRequest->fWentOverTls))
            input.authorization = ComposeCredentials(pRequest->strUrl);
        input.fHasBody = fBody;
        input.cbContentLength = pRequest->cbSource;
        input.ifModifiedSince = pRequest->nMethod == kMethodGet ? pRequest->ifModifiedSince : 0;
        if (pRequest->pHeaders != nullptr) {
            curl_slist_free_all(pRequest->pHeaders);
            pRequest->pHeaders = nullptr;
        }
        curl_slist* pList = nullptr;
        for (const std::string& line : ComposeRequestHeaders(input))
            pList = curl_slist_append(pList, line.c_str());
        // Header lines libcurl would add of its own accord: none of them is sent.
        if (fBody) {
            pList = curl_slist_append(pList, "Content-Type:");
            pList = curl_slist_append(pList, "Expect:");
            pList = curl_slist_append(pList, "Transfer-Encoding:");
        }
        if (!pRequest->strProxy.empty())
            pList = curl_slist_append(pList, "Proxy-Connection:");
        // A body compressed although nothing asked for it is decoded (gzip, deflate) or fails
        // the load (other encodings); the header libcurl would add for it is not sent.
        pList = curl_slist_append(pList, "Accept-Encoding:");
        if (pList == nullptr)
            return false;
        pRequest->pHeaders = pList;
        curl_easy_setopt(pEasy, CURLOPT_HTTPHEADER, pList);
    }
    return true;
}

// Adds the configured transfer to the request's multi handle.
bool AttachToMulti(HTRequest* pRequest) {
    if (curl_multi_add_handle(pRequest->pMulti, pRequest->pEasy) != CURLM_OK)
        return false;
    pRequest->fInMulti = true;
    if (!pRequest->fBlocking)
        g_fAsyncKick = true;
    return true;
}

// Runs the begin and connecting reports and hands the transfer to libcurl. Returns false
// when the load ended before any byte moved (the request's codes say why).
bool BeginTransfer(HTRequest* pRequest) {
    pRequest->nState = 0;
    if (!ConfigureTransfer(pRequest)) {
        pRequest->fStopped = true;
        return false;
    }
    if (pRequest->fFtp && !pRequest->fHttpSemantics) {
        if (!FtpProgress(pRequest, 0) || !FtpProgress(pRequest, 1)) {
            pRequest->fStopped = true;
            return false;
        }
    } else {
        if (!BeforeStep(pRequest, 0) || !AfterStep(pRequest, 0, 1) || !BeforeStep(pRequest, 1))
            return false;
    }
    pRequest->nState = 1;
    if (!AttachToMulti(pRequest)) {
        pRequest->fStopped = true;
        return false;
    }
    return true;
}

// Emits the closing reports of redirection and authentication steps that led to this load.
void UnwindOuterStates(HTRequest* pRequest) {
    while (!pRequest->vecOuterStates.empty()) {
        int nState = pRequest->vecOuterStates.back();
        pRequest->vecOuterStates.pop_back();
        if (!pRequest->fStopped)
            AfterStep(pRequest, nState, -1);
    }
}

// One more load of the same request (redirection or credentials): true when it started.
bool Reload(HTRequest* pRequest, int nOuterState) {
    pRequest->vecOuterStates.push_back(nOuterState);
    pRequest->nFirstError = -1;  // the error stack starts anew
    return BeginTransfer(pRequest);
}

// The redirection step (state 3) after a 301, 302, 307 or 308. Returns true when a new transfer
// started.
bool Redirect(HTRequest* pRequest) {
    for (;;) {
        if (!BeforeStep(pRequest, 3))
            return false;
        ++pRequest->nRedirections;
        if (pRequest->nRedirections >= kMaxRedirections) {
            AddError(pRequest, kHtMaxRedirect);
            AfterStep(pRequest, 3, -3);
            return false;
        }
        if (pRequest->nMethod == kMethodPost || pRequest->nMethod == kMethodPut) {
            // Data is never sent again to a new place: the step repeats until the limit.
            if (!AfterStep(pRequest, 3, 3))
                return false;
            continue;
        }
        // The new location, resolved against the current URL.
        std::string next;
        if (!pRequest->location.empty()) {
            CURLU* pUrl = curl_url();
            if (pUrl != nullptr &&
                curl_url_set(pUrl, CURLUPART_URL, TransferUrl(pRequest).c_str(), 0) == CURLUE_OK &&
                curl_url_set(pUrl, CURLUPART_URL, pRequest->location.c_str(),
                             CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) == CURLUE_OK) {
                char* pszNext = nullptr;
                if (curl_url_get(pUrl, CURLUPART_URL, &pszNext, 0) == CURLUE_OK) {
                    next = pszNext;
                    curl_free(pszNext);
                }
            }
            curl_url_cleanup(pUrl);
        }
        if (next.empty()) {
            AddError(pRequest, kHtBadReply);
            AfterStep(pRequest, 3, -3);
            return false;
        }
        UrlParts parts = SplitUrl(next);
        Scheme scheme = ClassifyScheme(parts.scheme);
        if (scheme == Scheme::kNone ||
            (scheme == Scheme::kFtp && pRequest->nMethod != kMethodGet)) {
            pRequest->nDirectCode = kErrBadUrl;
            AfterStep(pRequest, 3, -3);
            return false;
        }
        pRequest->strUrl = std::move(next);
        pRequest->fFtp = scheme == Scheme::kFtp;
        pRequest->pSetup = nullptr;
        pRequest->pRealm = nullptr;
        return Reload(pRequest, 3);
    }
}

// The authentication step (state 4) after a 401. Returns true when a new transfer started.
bool Authenticate(HTRequest* pRequest) {
    for (;;) {
        if (!BeforeStep(pRequest, 4))
            return false;
        ++pRequest->nAuthPasses;
        UrlParts parts = SplitUrl(pRequest->strUrl);
        HostPort hp = SplitHostPort(parts.host);
        const int port = EffectivePort(parts.scheme, hp);
        const bool fTls = ClassifyScheme(parts.scheme) == Scheme::kHttps;
        std::vector<std::string> schemes;
        std::vector<std::pair<std::string, std::string>> params;
        for (const Challenge& challenge : pRequest->challenges) {
            schemes.push_back(challenge.scheme);
            params.insert(params.end(), challenge.params.begin(), challenge.params.end());
        }
        Server* pServer = nullptr;
        if (pRequest->pSetup != nullptr) {
            pRequest->pSetup->schemes = schemes;
            pRequest->pSetup->params = params;
            pRequest->pSetup->fRetry = true;
            pServer = FindOrCreateServer(hp.name, port, nullptr);
        } else {
            bool fExisted = false;
            pServer = FindOrCreateServer(hp.name, port, &fExisted);
            if (fExisted)
                Warn("%s", "Access without authorization denied -- retrying");
            auto setup = std::make_unique<ProtectionSetup>();
            std::string path("/");
            path.append(parts.path);
            setup->pathTemplate = MakeProtectionTemplate(path);
            setup->schemes = schemes;
            setup->params = params;
            pRequest->pSetup = setup.get();
            // The newest setup is consulted first, so a changed challenge takes effect.
            pServer->setups.insert(pServer->setups.begin(), std::move(setup));
        }
        if (fTls)
            pServer->fTlsOnly = true;
        if (!CanAnswer(pRequest->pSetup->schemes)) {
            // Asking the status routine for credentials that can never be sent is pointless.
            if (!schemes.empty())
                Warn("%s %s `%s'", "This client doesn't know how to compose authentication",
                     "information for scheme", schemes.front().c_str());
            AddError(pRequest, kHtUnauthorized);
            AfterStep(pRequest, 4, -3);
            return false;
        }
        const std::string* pRealmName = pRequest->pSetup->Param("realm");
        pRequest->pRealm = nullptr;
        if (pRealmName != nullptr) {
            pRequest->pRealm = FindRealm(pServer, *pRealmName);
            if (pRequest->pRealm == nullptr) {
                auto realm = std::make_unique<Realm>();
                realm->name = *pRealmName;
                pRequest->pRealm = realm.get();
                pServer->realms.push_back(std::move(realm));
            }
        }
        bool fRetry = pRequest->pRealm != nullptr && pRequest->nAuthPasses <= kMaxAuthPasses &&
                      HttpProgress(pRequest, QNINET_PROGRESS_CREDENTIALS);
        if (!fRetry) {
            AddError(pRequest, kHtUnauthorized);
            AfterStep(pRequest, 4, -3);
            return false;
        }
        if (pRequest->nMethod == kMethodPost || pRequest->nMethod == kMethodPut) {
            // Data is not sent again; the routine is asked until it gives up or the passes
            // run out.
            if (!AfterStep(pRequest, 4, 4))
                return false;
            continue;
        }
        return Reload(pRequest, 4);
    }
}

// A transfer ended (outside libcurl's callbacks). Starts the next transfer of a redirection
// or authentication, or finishes the request. Returns true when the request finished, with
// its result in *pnResult.
bool OnTransferDone(HTRequest* pRequest, CURLcode rc, int* pnResult) {
    DetachFromMulti(pRequest);
    bool fLoaded = false;
    if (pRequest->fAbort || g_fInterrupt) {
        pRequest->fAbort = 1;
    } else if (pRequest->fStopped) {
        // A progress call answered 0; the closing report has been made.
    } else if (pRequest->fWriteFailed) {
        AddError(pRequest, kHtSystem);
    } else if (!pRequest->fHttpSemantics) {
        // FTP.
        if (rc == CURLE_OK) {
            fLoaded = FtpProgress(pRequest, 5);
        } else {
            if (rc != CURLE_ABORTED_BY_CALLBACK && rc != CURLE_READ_ERROR)
                AddError(pRequest, ErrorEntryOfCurl(pRequest, rc));
            FtpProgress(pRequest, 6);
        }
    } else if (rc == CURLE_OK ||
               (rc == CURLE_WRITE_ERROR && pRequest->decision == Decision::kError)) {
        switch (pRequest->decision) {
            case Decision::kPending:
                // The answer ended before its header did.
                AddError(pRequest, kHtEof);
                AfterStep(pRequest, 2, -3);
                break;
            case Decision::kGotData:
            case Decision::kNoData:
            case Decision::kNotModified:
                fLoaded = AfterStep(pRequest, 2, -1);
                break;
            case Decision::kError:
                AfterStep(pRequest, 2, -3);
                break;
            case Decision::kRedirect:
                if (AfterStep(pRequest, 2, 3) && Redirect(pRequest))
                    return false;
                break;
            case Decision::kAuth:
                if (AfterStep(pRequest, 2, 4) && Authenticate(pRequest))
                    return false;
                break;
        }
    } else if (rc == CURLE_ABORTED_BY_CALLBACK || rc == CURLE_READ_ERROR) {
        AfterStep(pRequest, pRequest->nState, -3);
    } else if (rc == CURLE_URL_MALFORMAT ||
               (rc == CURLE_UNSUPPORTED_PROTOCOL && pRequest->nState < 2)) {
        pRequest->nDirectCode = kErrBadUrl;
        AfterStep(pRequest, pRequest->nState, -3);
    } else {
        AddError(pRequest, ErrorEntryOfCurl(pRequest, rc));
        pRequest->strErrorText = DescribeTlsFailure(pRequest, rc);
        if (!pRequest->strErrorText.empty())
            Warn("TLS handshake for %s refused: %s", pRequest->strUrl.c_str(),
                 pRequest->strErrorText.c_str());
        AfterStep(pRequest, pRequest->nState, -3);
    }
    UnwindOuterStates(pRequest);
    if (pRequest->fStopped && !fLoaded && pRequest->nFirstError < 0 && pRequest->nDirectCode == 0)
        pRequest->nDirectCode = kErrLoad;
    *pnResult = Finish(pRequest, fLoaded && !pRequest->fStopped ? kOk : FailureCode(pRequest));
    return true;
}

// Reads the finished transfers of a multi handle; for each, OnTransferDone. When pTarget
// finished, true and its result in *pnResult.
void DrainMulti(CURLM* pMulti) {
    CURLMsg* pMessage = nullptr;
    int cLeft = 0;
    while ((pMessage = curl_multi_info_read(pMulti, &cLeft)) != nullptr) {
        if (pMessage->msg != CURLMSG_DONE)
            continue;
        HTRequest* pRequest = nullptr;
        curl_easy_getinfo(pMessage->easy_handle, CURLINFO_PRIVATE, &pRequest);
        CURLcode rc = pMessage->data.result;
        if (pRequest == nullptr || g_liveRequests.count(pRequest) == 0)
            continue;
        int nResult = 0;
        OnTransferDone(pRequest, rc, &nResult);
        // A started reload changed the multi's contents; read on.
    }
}

// Ends the asynchronous loads whose idle limit ran out and, when the earliest remaining one
// comes before libcurl's own timer, asks the watcher for the timer then.
void EnforceAsyncIdleLimits() {
    const long long msNow = NowMs();
    long long msEarliest = kNoTimer;
    std::vector<HTRequest*> expired;
    for (HTRequest* pRequest : g_liveRequests) {
        if (pRequest->fBlocking || !pRequest->fInMulti)
            continue;
        const long long msLeft = IdleLeft(pRequest, msNow);
        if (msLeft == 0)
            expired.push_back(pRequest);
        else if (msLeft > 0)
            msEarliest = std::min(msEarliest, msNow + msLeft);
    }
    for (HTRequest* pRequest : expired) {
        if (IsLiveRequest(pRequest)) {
            int nResult = 0;
            OnTransferDone(pRequest, CURLE_OPERATION_TIMEDOUT, &nResult);
        }
    }
    // An idle limit that comes first takes the watcher's timer; when that fires, the timer is
    // set again for whichever comes next, libcurl's included.
    const long long msDue = std::min(msEarliest, g_msCurlTimerDue);
    if (msDue < g_msWatcherDue && g_pfnTimerWindow != nullptr) {
        g_msWatcherDue = msDue;
        g_pfnTimerWindow(g_uTimerMessage, QNINET_TIMER_SOCKET, std::max(0LL, msDue - msNow));
    }
}

void RunAsync(int socket, int nMask) {
    int cRunning = 0;
    curl_multi_socket_action(g_pAsyncMulti, socket, nMask, &cRunning);
    DrainMulti(g_pAsyncMulti);
    for (int i = 0; g_fAsyncKick && i < 100; ++i) {
        g_fAsyncKick = false;
        curl_multi_socket_action(g_pAsyncMulti, CURL_SOCKET_TIMEOUT, 0, &cRunning);
        DrainMulti(g_pAsyncMulti);
    }
    if (socket == CURL_SOCKET_TIMEOUT)
        EnforceAsyncIdleLimits();
}

// Runs a synchronous request to its end.
int RunSync(HTRequest* pRequest) {
    CURLM* pMulti = pRequest->pMulti;
    for (;;) {
        int cRunning = 0;
        curl_multi_perform(pMulti, &cRunning);
        CURLMsg* pMessage = nullptr;
        int cLeft = 0;
        while ((pMessage = curl_multi_info_read(pMulti, &cLeft)) != nullptr) {
            if (pMessage->msg != CURLMSG_DONE)
                continue;
            int nResult = 0;
            if (OnTransferDone(pRequest, pMessage->data.result, &nResult))
                return nResult;
            break;  // a new transfer started; perform again
        }
        if (!pRequest->fInMulti) {
            int nResult = 0;
            OnTransferDone(pRequest, CURLE_ABORTED_BY_CALLBACK, &nResult);
            return nResult;
        }
        if (pRequest->fAbort || g_fInterrupt) {
            DetachFromMulti(pRequest);
            pRequest->fAbort = 1;
            int nResult = 0;
            OnTransferDone(pRequest, CURLE_ABORTED_BY_CALLBACK, &nResult);
            return nResult;
        }
        const long long msLeft = IdleLeft(pRequest, NowMs());
        if (msLeft == 0) {
            int nResult = 0;
            OnTransferDone(pRequest, CURLE_OPERATION_TIMEDOUT, &nResult);
            return nResult;
        }
        const int msWait = msLeft > 0 && msLeft < 1000 ? static_cast<int>(msLeft) : 1000;
        curl_multi_poll(pMulti, nullptr, 0, msWait, nullptr);
    }
}

CURLM* AcquireSyncMulti() {
    CURLM* pMulti = nullptr;
    if (!g_fSyncMultiBusy) {
        if (g_pSyncMulti == nullptr)
            g_pSyncMulti = curl_multi_init();
        pMulti = g_pSyncMulti;
        g_fSyncMultiBusy = pMulti != nullptr;
    } else {
        pMulti = curl_multi_init();
    }
    if (pMulti != nullptr)
        g_activeSyncMultis.push_back(pMulti);
    return pMulti;
}

void ReleaseSyncMulti(CURLM* pMulti) {
    g_activeSyncMultis.erase(
        std::remove(g_activeSyncMultis.begin(), g_activeSyncMultis.end(), pMulti),
        g_activeSyncMultis.end());
    if (pMulti == g_pSyncMulti)
        g_fSyncMultiBusy = false;
    else
        curl_multi_cleanup(pMulti);
}

}  // namespace

// ---- Exported through request.h ----

bool IsLiveRequest(const HTRequest* pRequest) {
    return pRequest != nullptr && g_liveRequests.count(const_cast<HTRequest*>(pRequest)) != 0;
}

void SetInterrupt() {
    g_fInterrupt = true;
}

void SetAsyncWindow(QNINetAsyncWindow pfnWindow, unsigned int uMessage) {
    g_pfnWindow = pfnWindow;
    g_uMessage = uMessage;
}

bool InStatusRoutine() {
    return g_nCallbackDepth > 0;
}

void ReadTimeouts() {
    g_msConnectTimeout = 30000;
    g_msIdleTimeout = 60000;
    ReadEnvTimeout("QUILLON_WEBNET_CONNECT_TIMEOUT_MS", &g_msConnectTimeout);
    ReadEnvTimeout("QUILLON_WEBNET_IDLE_TIMEOUT_MS", &g_msIdleTimeout);
    const char* pszCaFile = getenv("QUILLON_WEBNET_CA_FILE");
    g_strCaFile = pszCaFile != nullptr ? pszCaFile : "";
}

int CreateRequest(const char* pszUrl, int nMethod, long ifModifiedSince, QNINetCallback pfn,
                  void* pUserData, bool fForceBlocking, HTRequest** ppRequest) {
    *ppRequest = nullptr;
    if (!IsInitialized())
        return kErrNotInitialized;
    if (pszUrl == nullptr)
        return kErrBadUrl;
    UrlParts parts = SplitUrl(pszUrl);
    Scheme scheme = ClassifyScheme(parts.scheme);
    if (scheme == Scheme::kNone)
        return kErrBadUrl;
    if ((nMethod == kMethodHead || nMethod == kMethodPost) && scheme == Scheme::kFtp)
        return kErrBadUrl;
    auto* pRequest = new HTRequest;
    pRequest->nMethod = nMethod;
    pRequest->strUrl = pszUrl;
    pRequest->fFtp = scheme == Scheme::kFtp;
    pRequest->pfnCallback = pfn;
    pRequest->pUserData = pUserData;
    pRequest->ifModifiedSince = nMethod == kMethodGet ? ifModifiedSince : 0;
    if (g_pfnWindow != nullptr && !fForceBlocking) {
        pRequest->fBlocking = false;
        pRequest->pfnWindow = g_pfnWindow;
        pRequest->uMessage = g_uMessage;
    }
    *ppRequest = pRequest;
    return kOk;
}

void DiscardRequest(HTRequest* pRequest) {
    if (pRequest->fOwnOutput && pRequest->fdOutput >= 0)
        close(pRequest->fdOutput);
    delete pRequest;
}

int StartLoad(HTRequest* pRequest) {
    g_fInterrupt = false;
    if (pRequest->nOutputKind == kOutputNone ||
        (pRequest->nOutputKind != kOutputDiscard && pRequest->nOutputKind != kOutputMemory &&
         pRequest->fdOutput < 0)) {
        DiscardRequest(pRequest);
        return kErrBadArgs;
    }
    const bool fNoHost = HostWithoutUser(SplitUrl(pRequest->strUrl).host).empty();
    pRequest->pEasy = TakeEasy();
    pRequest->pMulti = pRequest->fBlocking ? AcquireSyncMulti() : AsyncMulti();
    g_liveRequests.insert(pRequest);
    if (pRequest->pEasy == nullptr || pRequest->pMulti == nullptr) {
        CURLM* pMulti = pRequest->fBlocking ? pRequest->pMulti : nullptr;
        int nResult = Finish(pRequest, kErrLoad);
        if (pMulti != nullptr)
            ReleaseSyncMulti(pMulti);
        return nResult;
    }
    if (!pRequest->fBlocking) {
        g_pfnTimerWindow = pRequest->pfnWindow;
        g_uTimerMessage = pRequest->uMessage;
    }
    if (fNoHost) {
        // A URL without a host name: nothing to connect to.
        bool fGo = BeforeStep(pRequest, 0);
        if (fGo) {
            AddError(pRequest, kHtNoHost);
            AfterStep(pRequest, 0, -3);
        }
        CURLM* pMulti = pRequest->fBlocking ? pRequest->pMulti : nullptr;
        int nResult = Finish(pRequest, kErrLoad);
        if (pMulti != nullptr)
            ReleaseSyncMulti(pMulti);
        return nResult;
    }
    if (!BeginTransfer(pRequest)) {
        CURLM* pMulti = pRequest->fBlocking ? pRequest->pMulti : nullptr;
        if (pRequest->nDirectCode == 0 && pRequest->nFirstError < 0)
            pRequest->nDirectCode = kErrLoad;
        int nResult = Finish(pRequest, FailureCode(pRequest));
        if (pMulti != nullptr)
            ReleaseSyncMulti(pMulti);
        return nResult;
    }
    if (pRequest->fBlocking) {
        CURLM* pMulti = pRequest->pMulti;
        int nResult = RunSync(pRequest);
        ReleaseSyncMulti(pMulti);
        return nResult;
    }
    // Asynchronous: start connecting now; the application's socket events do the rest.
    HTRequest* pPrevTarget = g_pContinueTarget;
    bool fPrevFinished = g_fContinueTargetFinished;
    int nPrevResult = g_nContinueResult;
    g_pContinueTarget = pRequest;
    g_fContinueTargetFinished = false;
    g_fAsyncKick = false;  // this call is the kick
    RunAsync(CURL_SOCKET_TIMEOUT, 0);
    int nResult = g_fContinueTargetFinished ? g_nContinueResult : kOk;
    g_pContinueTarget = pPrevTarget;
    g_fContinueTargetFinished = fPrevFinished;
    g_nContinueResult = nPrevResult;
    return nResult;
}

int AsyncContinue(int socket, long event) {
    if (g_pAsyncMulti == nullptr)
        return socket == QNINET_TIMER_SOCKET || (event & 0xFFFF) == QNINET_FD_CLOSE
                   ? kOk
                   : kErrUnknownSocket;
    if (socket == QNINET_TIMER_SOCKET) {
        // The watcher's timer has fired; libcurl asks again for what it still needs.
        const long long msNow = NowMs();
        g_msWatcherDue = kNoTimer;
        if (g_msCurlTimerDue <= msNow)
            g_msCurlTimerDue = kNoTimer;
        RunAsync(CURL_SOCKET_TIMEOUT, 0);
        return kOk;
    }
    const int nEvent = static_cast<int>(event & 0xFFFF);
    const int nError = static_cast<int>((static_cast<unsigned long>(event) >> 16) & 0xFFFF);
    auto it = g_socketOwners.find(socket);
    HTRequest* pRequest = it == g_socketOwners.end() ? nullptr : it->second.pRequest;
    if (it != g_socketOwners.end() && pRequest == nullptr && (event & 0xFFFF) != 0) {
        // A connection libcurl still winds down after its request ended.
        RunAsync(socket, (event & QNINET_FD_WRITE) ? CURL_CSELECT_OUT : CURL_CSELECT_IN);
        return kOk;
    }
    if (pRequest == nullptr || !IsLiveRequest(pRequest) || pRequest->fBlocking) {
        // Not a socket of ours: never touch it.
        return nEvent == QNINET_FD_CLOSE ? kOk : kErrUnknownSocket;
    }
    if (nEvent & QNINET_FD_CONNECT)
        pRequest->lSocket = socket;
    if (nError != 0) {
        shutdown(socket, SHUT_RDWR);
        return Finish(pRequest, kErrInit);
    }
    int nMask = 0;
    if (nEvent & (QNINET_FD_READ | QNINET_FD_CLOSE | QNINET_FD_ACCEPT | QNINET_FD_OOB))
        nMask |= CURL_CSELECT_IN;
    if (nEvent & (QNINET_FD_WRITE | QNINET_FD_CONNECT))
        nMask |= CURL_CSELECT_OUT;
    HTRequest* pPrevTarget = g_pContinueTarget;
    bool fPrevFinished = g_fContinueTargetFinished;
    int nPrevResult = g_nContinueResult;
    g_pContinueTarget = pRequest;
    g_fContinueTargetFinished = false;
    RunAsync(socket, nMask);
    int nResult = kOk;
    if (g_fContinueTargetFinished) {
        nResult = g_nContinueResult;
    } else if (IsLiveRequest(pRequest) && pRequest->fAbort) {
        nResult = Finish(pRequest, kErrShutdown);
    }
    g_pContinueTarget = pPrevTarget;
    g_fContinueTargetFinished = fPrevFinished;
    g_nContinueResult = nPrevResult;
    return nResult;
}

int CloseConnection(HTRequest* pRequest) {
    if (!IsLiveRequest(pRequest))
        return kErrBadArgs;
    for (long lSocket : {pRequest->lSocket, pRequest->lSocket2}) {
        if (lSocket == -1)
            continue;
        if (shutdown(static_cast<int>(lSocket), SHUT_RDWR) != 0 && errno != ENOTCONN)
            return kErrShutdown;
    }
    pRequest->fAbort = 1;
    pRequest->pUserData = nullptr;
    return kOk;
}

int CloseAllConnections() {
    g_fInterrupt = true;
    // Every running load stops at its next step, including asynchronous ones that started
    // later than this call would otherwise reach; waking their sockets makes that step come.
    for (HTRequest* pRequest : g_liveRequests) {
        pRequest->fAbort = 1;
        if (!pRequest->fBlocking) {
            for (long lSocket : {pRequest->lSocket, pRequest->lSocket2}) {
                if (lSocket != -1)
                    shutdown(static_cast<int>(lSocket), SHUT_RDWR);
            }
        }
    }
    for (CURLM* pMulti : g_activeSyncMultis)
        curl_multi_wakeup(pMulti);
    return kOk;
}

void ShutdownLoader() {
    // Running loads end without completion calls.
    std::vector<HTRequest*> live(g_liveRequests.begin(), g_liveRequests.end());
    for (HTRequest* pRequest : live) {
        pRequest->fAbort = 1;
        ReleaseRequest(pRequest);
    }
    if (g_pAsyncMulti != nullptr) {
        curl_multi_cleanup(g_pAsyncMulti);
        g_pAsyncMulti = nullptr;
    }
    if (g_pSyncMulti != nullptr && !g_fSyncMultiBusy) {
        curl_multi_cleanup(g_pSyncMulti);
        g_pSyncMulti = nullptr;
    }
    for (CURL* pEasy : g_easyPool)
        curl_easy_cleanup(pEasy);
    g_easyPool.clear();
    g_socketOwners.clear();
    g_pfnWindow = nullptr;
    g_uMessage = 0;
    g_pfnTimerWindow = nullptr;
    g_msCurlTimerDue = kNoTimer;
    g_msWatcherDue = kNoTimer;
    g_fInterrupt = false;
}

}  // namespace qn::webnet
