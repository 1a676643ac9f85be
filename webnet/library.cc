// QNINetInitialize and QNINetTerminate: the library's lifetime.
#include <curl/curl.h>

#include "state.h"

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
    if (g_fInitialized)
        return kOk;
#ifdef WEBNET_HAVE_SCAN
    ScanSubsystemInitialize();
#endif
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return kErrInit;
    g_fInitialized = true;
    return kOk;
}

extern "C" QNINET_API int QNINetTerminate(void) {
    if (g_fInitialized) {
        curl_global_cleanup();
        g_fInitialized = false;
    }
#ifdef WEBNET_HAVE_SCAN
    ScanSubsystemTerminate();
#endif
    return g_fInitialized ? kErrTerminate : kOk;
}
