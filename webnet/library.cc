// The library's lifetime, asynchronous operation, connection controls and URL checks.
#include <curl/curl.h>

#include <cstring>

#include "guard.h"
#include "request.h"
#include "state.h"
#include "tables.h"
#include "url.h"

namespace qn::webnet {
namespace {
bool g_fInitialized = false;
}  // namespace

bool IsInitialized() {
    return g_fInitialized;
}

}  // namespace qn::webnet

using namespace qn::webnet;

extern "C" QNINET_API int QNINetInitialize(void) {
    return Guard("QNINetInitialize", QNINET_ERR_INIT, [&]() -> int {
        if (g_fInitialized)
            return kOk;
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            return kErrInit;
        const curl_version_info_data* pInfo = curl_version_info(CURLVERSION_NOW);
        if (pInfo == nullptr || (pInfo->features & CURL_VERSION_LARGEFILE) == 0) {
            curl_global_cleanup();
            return kErrInit;
        }
#ifdef WEBNET_HAVE_SCAN
        ScanSubsystemInitialize();
#endif
        ReadTimeouts();
        g_fInitialized = true;
        return kOk;
    });
}

extern "C" QNINET_API int QNINetTerminate(void) {
    return Guard("QNINetTerminate", QNINET_ERR_TERMINATE, [&]() -> int {
        if (g_fInitialized) {
            // A status routine cannot pull the library away from under its own load.
            if (InStatusRoutine())
                return kErrTerminate;
            ShutdownLoader();
            ClearTables();
            curl_global_cleanup();
            g_fInitialized = false;
        }
#ifdef WEBNET_HAVE_SCAN
        ScanSubsystemTerminate();
#endif
        return g_fInitialized ? kErrTerminate : kOk;
    });
}

extern "C" QNINET_API int QNINetSetAsync(QNINetAsyncWindow window, unsigned int message) {
    return Guard("QNINetSetAsync", QNINET_ERR_LOAD, [&]() -> int {
        if (!g_fInitialized)
            return kErrNotInitialized;
        SetAsyncWindow(window, window == nullptr ? 0 : message);
        return kOk;
    });
}

extern "C" QNINET_API int QNINetAsyncContinue(int socket, long event) {
    return Guard("QNINetAsyncContinue", QNINET_ERR_LOAD, [&]() -> int {
        if (!g_fInitialized)
            return kErrNotInitialized;
        return AsyncContinue(socket, event);
    });
}

extern "C" QNINET_API int QNINetGetSocketNumber(HTRequest* request, long* socket) {
    return Guard("QNINetGetSocketNumber", QNINET_ERR_LOAD, [&]() -> int {
        if (socket == nullptr || !IsLiveRequest(request))
            return kErrBadArgs;
        *socket = request->lSocket;
        return kOk;
    });
}

extern "C" QNINET_API int QNINetCloseConnection(HTRequest* request) {
    return Guard("QNINetCloseConnection", QNINET_ERR_LOAD,
                 [&]() -> int { return CloseConnection(request); });
}

extern "C" QNINET_API int QNINetCloseAllConnections(void) {
    return Guard("QNINetCloseAllConnections", QNINET_ERR_LOAD,
                 [&]() -> int { return CloseAllConnections(); });
}

extern "C" QNINET_API int QNINetCheckURL(const char* url) {
    return Guard("QNINetCheckURL", QNINET_ERR_LOAD, [&]() -> int {
        if (!g_fInitialized)
            return kErrNotInitialized;
        return url == nullptr ? kErrBadUrl : kOk;
    });
}

extern "C" QNINET_API int QNINetParseURL(const char* url, int part, long* length, char* buffer) {
    return Guard("QNINetParseURL", QNINET_ERR_LOAD, [&]() -> int {
        if (!g_fInitialized)
            return kErrNotInitialized;
        if (part < QNINET_URL_SCHEME || part > QNINET_URL_PATH || length == nullptr ||
            buffer == nullptr)
            return kErrBadArgs;
        if (url == nullptr) {
            if (*length > 0)
                buffer[0] = '\0';
            return kErrBadUrl;
        }
        UrlParts parts = SplitUrl(url);
        std::string_view text = part == QNINET_URL_SCHEME ? parts.scheme
                                : part == QNINET_URL_HOST ? parts.host
                                                          : parts.path;
        const size_t cbCapacity = *length > 0 ? static_cast<size_t>(*length) : 0;
        const size_t cbCopy = text.size() < cbCapacity ? text.size() : cbCapacity;
        if (cbCopy > 0)
            memcpy(buffer, text.data(), cbCopy);
        if (cbCopy < cbCapacity)
            buffer[cbCopy] = '\0';
        *length = static_cast<long>(text.size());
        return kOk;
    });
}

extern "C" QNINET_API int QNINetGetRealmInfo(HTRequest* request, char* hostBuffer,
                                             unsigned long* hostSize, char* realmBuffer,
                                             unsigned long* realmSize) {
    return Guard("QNINetGetRealmInfo", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsLiveRequest(request) || request->pRealm == nullptr || hostSize == nullptr ||
            realmSize == nullptr)
            return 1;
        const UrlParts parts = SplitUrl(request->strUrl);
        std::string host(HostWithoutUser(parts.host));
        if (host.empty())
            return kErrBadUrl;
        // The text QNINetAddRealm takes: an HTTPS server without a port is the server on 443.
        if (!SplitHostPort(host).fHasPort && ClassifyScheme(parts.scheme) == Scheme::kHttps)
            host.append(":443");
        const std::string& realm = request->pRealm->name;
        if (realmBuffer != nullptr && realm.size() + 1 <= *realmSize)
            memcpy(realmBuffer, realm.c_str(), realm.size() + 1);
        *realmSize = realm.size() + 1;
        if (hostBuffer != nullptr && host.size() + 1 <= *hostSize) {
            memcpy(hostBuffer, host.c_str(), host.size() + 1);
        }
        *hostSize = host.size() + 1;
        return kOk;
    });
}

extern "C" QNINET_API int QNINetGetErrorText(HTRequest* request, char* buffer,
                                             unsigned long* size) {
    return Guard("QNINetGetErrorText", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsLiveRequest(request) || size == nullptr)
            return 1;
        const std::string& text = request->strErrorText;
        if (buffer != nullptr && text.size() + 1 <= *size)
            memcpy(buffer, text.c_str(), text.size() + 1);
        *size = text.size() + 1;
        return kOk;
    });
}
