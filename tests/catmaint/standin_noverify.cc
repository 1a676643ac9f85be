// A catalog-store stand-in that lacks DBBoardVerify: the structure verification must skip it.
#include "catstore.h"

extern "C" {

BOARD_OBJECT* EXBoardConnect(const char*, int, EXSM_STATUS* pStatus) {
    *pStatus = EXSM_CATALOG_OPEN_ERROR;
    return nullptr;
}

int EXBoardClose(BOARD_OBJECT*, EXSM_STATUS* pStatus) {
    *pStatus = EXSM_SUCCESS;
    return 0;
}

}  // extern "C"
