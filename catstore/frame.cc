#include "frame.h"

namespace catstore {

std::recursive_mutex& ApiMutex() {
    static std::recursive_mutex* s_pMutex = new std::recursive_mutex;  // never destroyed
    return *s_pMutex;
}

void SetStatus(EXSM_STATUS* status, DBStatus dbStatus) {
    QNMapDBStatus(dbStatus, status, ".\\EXSM");
}

}  // namespace catstore

extern "C" const char* EXStatusText(EXSM_STATUS status) {
    const char* psz = QNStatusText(static_cast<uint32_t>(status));
    return psz ? psz : "";
}
