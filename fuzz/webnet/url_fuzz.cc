// URL splitting on any bytes: the parts lie inside the input, host and port splitting never
// fails, and QNINetParseURL copies within the bounds it is given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "url.h"
#include "webnet.h"

using namespace qn::webnet;

namespace {
bool Inside(std::string_view part, const char* pBegin, size_t cb) {
    return part.empty() || (part.data() >= pBegin && part.data() + part.size() <= pBegin + cb);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb) {
    static bool s_fInitialized = QNINetInitialize() == QNINET_OK;
    const char* pText = reinterpret_cast<const char*>(pData);
    std::string_view text(pText, cb);
    UrlParts parts = SplitUrl(text);
    if (!Inside(parts.scheme, pText, cb) || !Inside(parts.host, pText, cb) ||
        !Inside(parts.path, pText, cb))
        abort();
    HostPort hp = SplitHostPort(parts.host);
    if (hp.port < 0 || hp.port > 65535)
        abort();
    (void)ClassifyScheme(parts.scheme);
    (void)HostWithoutUser(parts.host);

    if (s_fInitialized) {
        std::string url(text);  // the export takes a C string
        for (int part = 0; part <= 2; ++part) {
            char buffer[16];
            memset(buffer, 0x5A, sizeof buffer);
            long length = 8;  // the rest of the buffer must stay untouched
            QNINetParseURL(url.c_str(), part, &length, buffer);
            for (size_t i = 9; i < sizeof buffer; ++i) {
                if (buffer[i] != 0x5A)
                    abort();
            }
        }
    }
    return 0;
}
