// The request record of one load and the loader that runs it on libcurl.
//
// A load follows the HTTP loader's state machine: 0 begin, 1 connecting, 2 sending the request
// and reading the response, 3 redirection, 4 authentication; -1 got data, -2 no data, -3 error.
// Before each step the current state is reported to the status routine; after it the old state
// + 1000, or the old state again when the new state ends the load. libcurl moves the bytes:
// webnet composes every request header itself and reads the status line and headers itself.
#pragma once

#include <curl/curl.h>

#include <string>
#include <vector>

#include "protocol.h"
#include "tables.h"
#include "url.h"
#include "webnet.h"

namespace qn::webnet {

enum OutputKind : int {
    kOutputNone = 0,
    kOutputMemory = 1,
    kOutputHandle = 2,
    kOutputFile = 3,
    kOutputDiscard = 4
};
enum SourceKind : int { kSourceNone = 0, kSourceMemory = 2, kSourceFile = 3 };

// What the response status makes of the load.
enum class Decision { kPending, kGotData, kNoData, kNotModified, kRedirect, kAuth, kError };

}  // namespace qn::webnet

struct HTRequest {
    // ---- The record the application's handle stands for, in its documented order ----
    long lSocket = -1;   // connection socket, -1 until known
    long lSocket2 = -1;  // FTP data connection, -1 until known
    int fAbort = 0;      // set by QNINetCloseConnection and by interrupted progress calls
    QNINetCallback pfnCallback = nullptr;
    void* pUserData = nullptr;
    int nOutputKind = 0;
    char** ppBuffer = nullptr;
    long cbBuffer = 0;
    long* pcbLength = nullptr;
    int nSourceKind = 0;
    long ifModifiedSince = 0;
    std::string source;  // the data block (copied) or the source file name
    long long cbSource = 0;

    // ---- The load ----
    int nMethod = qn::webnet::kMethodGet;
    bool fBlocking = true;
    QNINetAsyncWindow pfnWindow = nullptr;
    unsigned int uMessage = 0;
    std::string strUrl;    // the URL being loaded (changes with redirections)
    std::string strProxy;  // the proxy of the current transfer, empty when direct
    bool fFtp = false;     // loaded by the FTP loader (progress through the FTP routine)
    int nRedirections = 0;
    int nAuthPasses = 0;
    bool fWentOverTls = false;  // a transfer of this request used HTTPS
    int nFirstError = -1;       // the first element of the error stack, -1 when it is empty
    int nDirectCode = 0;        // a result code decided without the error stack (3, 13)
    qn::webnet::ProtectionSetup* pSetup = nullptr;
    qn::webnet::Realm* pRealm = nullptr;
    std::vector<int> vecOuterStates;  // redirection/authentication steps waiting for the end
    std::string strErrorText;         // why the load failed, for QNINetGetErrorText
    char szCurlError[CURL_ERROR_SIZE] = "";

    // ---- Output ----
    std::string chunk;  // memory output
    int fdOutput = -1;
    bool fOwnOutput = false;
    bool fWriteFailed = false;

    // ---- Source (POST, PUT) ----
    int fdSource = -1;
    long long cbSent = 0;

    // ---- The current transfer ----
    bool fStatusSeen = false;
    bool fHeadersDone = false;
    bool fHttp09 = false;
    bool fHttpSemantics = true;  // responses are HTTP responses (HTTP, or FTP through a proxy)
    int nStatus = 0;
    int nState = 0;                // the loader state of the current transfer (1 or 2)
    bool fStopped = false;         // a progress call answered 0
    long long msLastActivity = 0;  // when bytes last moved (ms, steady clock), 0 while connecting
    bool fFtpTransferReported = false;
    qn::webnet::Decision decision = qn::webnet::Decision::kPending;
    std::string headText;  // header lines after the status line
    std::string location;
    std::vector<qn::webnet::Challenge> challenges;

    // ---- libcurl ----
    CURL* pEasy = nullptr;
    CURLM* pMulti = nullptr;
    curl_slist* pHeaders = nullptr;
    bool fInMulti = false;
    std::vector<int> vecSockets;  // every socket libcurl opened for this request
};

namespace qn::webnet {

// Creates a request (Algorithm "creating a request"): returns the result code; on success
// *ppRequest is the new request. fForceBlocking makes it synchronous whatever QNINetSetAsync set.
int CreateRequest(const char* pszUrl, int nMethod, long ifModifiedSince, QNINetCallback pfn,
                  void* pUserData, bool fForceBlocking, HTRequest** ppRequest);
// Releases a request that never started (no status calls).
void DiscardRequest(HTRequest* pRequest);
// Starts the load; synchronous loads run to their end. Returns the result code the export
// returns. The request is released when it finishes.
int StartLoad(HTRequest* pRequest);

// Library-wide loader state.
bool IsLiveRequest(const HTRequest* pRequest);
void SetInterrupt();
void SetAsyncWindow(QNINetAsyncWindow pfnWindow, unsigned int uMessage);
int AsyncContinue(int socket, long event);
int CloseAllConnections();
int CloseConnection(HTRequest* pRequest);
bool InStatusRoutine();
void ReadTimeouts();
// Ends every running load without completion calls and releases libcurl's handles.
void ShutdownLoader();

}  // namespace qn::webnet
