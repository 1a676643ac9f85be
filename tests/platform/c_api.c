/* The public C headers compile as C and work from C. */
#include <string.h>

#include "exsmstatus.h"
#include "qnplatform.h"

int QnPlatformFromC(void) {
    EXSM_STATUS status = EXSM_SUCCESS;
    QNHGLOBAL h;
    char* p;
    char szName[32];
    if (IS_EXERROR(&status)) return 1;
    status = EXSM_LOCK_ERROR;
    if (!IS_EXERROR(&status)) return 2;
    h = QNGlobalAlloc(QN_GHND, 6);
    if (h == NULL) return 3;
    p = (char*)QNGlobalLock(h);
    if (p == NULL || p[0] != 0) return 4;
    memcpy(p, "hello", 6);
    QNGlobalUnlock(h);
    if (QNGlobalSize(h) != 6) return 5;
    if (QNGlobalFree(h) != NULL) return 6;
    if (QNMessageBox("text", "caption", QN_MB_OKCANCEL) != QN_IDCANCEL) return 7;
    QNGetProductName(szName, sizeof szName);
    if (strcmp(szName, "Zelto Bookmarks") != 0) return 8;
    (void)QNGetTickCount();
    return 0;
}
