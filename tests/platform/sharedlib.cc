// A shared library that carries the platform services, as libcatstore.so does.
#include "qnplatform.h"

extern "C" QN_EXPORT QNHGLOBAL TestLibAllocate(size_t cb) {
    return QNGlobalAlloc(QN_GHND, cb);
}
extern "C" QN_EXPORT int TestLibFree(QNHGLOBAL h) {
    return QNGlobalFree(h) == nullptr;
}
extern "C" QN_EXPORT int TestLibShowBox() {
    return QNMessageBox("from the library", "lib", 0);
}
