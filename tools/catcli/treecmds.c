/*
 * catcli commands that change the shape of the catalog: cp, mv and rm of whole trees.
 */
#include "catcli.h"

/* Handles on the items two operands name; on failure neither is left open. */
int FindTwo(BOARD_OBJECT* hbrd, const Options* pOpt, ITEM_OBJECT** phFirst,
            ITEM_OBJECT** phSecond) {
    int rc = FindItem(hbrd, pOpt->apszArgs[1], phFirst);
    if (rc != 0) {
        return rc;
    }
    rc = FindItem(hbrd, pOpt->apszArgs[2], phSecond);
    if (rc != 0) {
        EXSM_STATUS st2;
        EXItemRelease(*phFirst, &st2);
    }
    return rc;
}

int ReleaseTwo(ITEM_OBJECT* hFirst, ITEM_OBJECT* hSecond, int rc) {
    EXSM_STATUS st2;
    EXItemRelease(hFirst, &st2);
    EXItemRelease(hSecond, &st2);
    return rc;
}

/* ---- cp, mv, rm ----------------------------------------------------------------------------- */

int CopyItem(BOARD_OBJECT* hbrd, const Options* pOpt) {
    ITEM_OBJECT *hItem, *hTarget;
    int rc = FindTwo(hbrd, pOpt, &hItem, &hTarget);
    if (rc != 0) {
        return rc;
    }
    EXSM_STATUS status;
    EXItemCopy(hItem, hTarget, &status);
    return ReleaseTwo(hItem, hTarget, IS_EXERROR(&status) ? Fail("EXItemCopy", status) : 0);
}

int MoveItem(BOARD_OBJECT* hbrd, const Options* pOpt) {
    ITEM_OBJECT *hItem, *hTarget;
    int rc = FindTwo(hbrd, pOpt, &hItem, &hTarget);
    if (rc != 0) {
        return rc;
    }
    EXSM_STATUS status;
    EXItemSetParent(hItem, hTarget, &status);
    return ReleaseTwo(hItem, hTarget, IS_EXERROR(&status) ? Fail("EXItemSetParent", status) : 0);
}

int RemoveTree(BOARD_OBJECT* hbrd, const Options* pOpt) {
    ITEM_OBJECT* hItem;
    int rc = FindItem(hbrd, pOpt->apszArgs[1], &hItem);
    if (rc != 0) {
        return rc;
    }
    EXSM_STATUS status, st2;
    ITEM_OBJECT* hLeft = EXItemDestroy(hItem, &status);
    if (hLeft != NULL) {
        EXItemRelease(hLeft, &st2);
    }
    return IS_EXERROR(&status) ? Fail("EXItemDestroy", status) : 0;
}
