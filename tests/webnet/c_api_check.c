/* The public header used from plain C: every declaration compiles as C, and the calls that
 * need no server behave. Returns 0 when all is well, else the number of the failed check. */
#include <stddef.h>
#include <string.h>

#include "webnet.h"

static int Routine(int code, HTRequest* request, void* userData) {
    (void)code;
    (void)request;
    (void)userData;
    return 1;
}

int WebnetCApiCheck(void) {
    char buffer[16];
    long length = sizeof buffer;
    long socket = 0;
    QNINetCallback callback = Routine;
    if (QNINetCheckURL("http://x/") != QNINET_ERR_NOT_INITIALIZED)
        return 1;
    if (QNINetInitialize() != QNINET_OK)
        return 2;
    if (QNINetParseURL("ftp://host:21/p", QNINET_URL_HOST, &length, buffer) != QNINET_OK ||
        strcmp(buffer, "host:21") != 0 || length != 7)
        return 3;
    if (QNINetGetSocketNumber(NULL, &socket) != QNINET_ERR_BAD_ARGS)
        return 4;
    if (QNINetGetPageToFileByHandle("gopher://x/", 0, 1, callback, NULL) != QNINET_ERR_BAD_URL)
        return 5;
    if (QNINetSetProxy(QNINET_SCHEME_HTTP, "http://127.0.0.1:3128") != QNINET_OK ||
        QNINetClearProxy() != QNINET_OK)
        return 6;
    if (QNINET_MAKE_EVENT(QNINET_FD_CLOSE, 2) != 0x20020L)
        return 7;
    if (QNINetTerminate() != QNINET_OK)
        return 8;
    return 0;
}
