/*
 * catcli commands on references between items: link, unlink, and refs to list them.
 */
#include <stdio.h>
#include <string.h>

#include "catcli.h"

#define MAX_REFERENCE_DATA 65535

int Link(BOARD_OBJECT* hbrd, const Options* pOpt) {
    const size_t cbData = pOpt->pszData != NULL ? strlen(pOpt->pszData) : 0;
    if (cbData > MAX_REFERENCE_DATA) {
        return TooLong("reference data", cbData, MAX_REFERENCE_DATA);
    }
    ITEM_OBJECT *hSource, *hDest;
    int rc = FindTwo(hbrd, pOpt, &hSource, &hDest);
    if (rc != 0) {
        return rc;
    }
    EXSM_STATUS status;
    EXItemAddReference(hSource, hDest, &status, pOpt->pszData, (uint16_t)cbData, 0, 0);
    return ReleaseTwo(hSource, hDest, IS_EXERROR(&status) ? Fail("EXItemAddReference", status) : 0);
}

/* 1 when the reference a tagged handle names carries exactly these bytes. */
static int DataIs(ITEM_OBJECT* hTagged, const char* pszData, EXSM_STATUS* pStatus) {
    EX_REFINFO info = {0, NULL};
    EXItemGetReferenceData(hTagged, &info, pStatus);
    if (IS_EXERROR(pStatus)) {
        return 0;
    }
    // The store hands the bytes out locked: pData points at them.
    const size_t cbData = strlen(pszData);
    const int fSame =
        info.cbData == cbData &&
        (cbData == 0 || (info.pData != NULL && memcmp(info.pData, pszData, cbData) == 0));
    EXItemRefInfoReset(&info);
    return fSame;
}

/* Without --data every reference from SOURCE to DEST goes; with it only the first one (in the
 * order they were made) that carries that data. */
int Unlink(BOARD_OBJECT* hbrd, const Options* pOpt) {
    ITEM_OBJECT *hSource, *hDest;
    int rc = FindTwo(hbrd, pOpt, &hSource, &hDest);
    if (rc != 0) {
        return rc;
    }
    EXSM_STATUS status;
    if (pOpt->pszData == NULL) {
        EXItemRemoveReference(hSource, hDest, &status);
        return ReleaseTwo(hSource, hDest,
                          IS_EXERROR(&status) ? Fail("EXItemRemoveReference", status) : 0);
    }
    ITEM_ITERATOR* pList = EXItemGetReferences(hbrd, hSource, 1, 0, NULL, 0, &status);
    if (IS_EXERROR(&status)) {
        return ReleaseTwo(hSource, hDest, Fail("EXItemGetReferences", status));
    }
    const uint32_t dwDest = EXItemGetID(hDest);
    rc = Fail("unlink", EXSM_ITEM_NOT_REFERENCED);
    for (ITEM_OBJECT* h = EXItemIteratorFirst(pList); h != NULL; h = EXItemIteratorNext(pList)) {
        if (EXItemGetID(h) != dwDest) {
            continue;
        }
        const int fSame = DataIs(h, pOpt->pszData, &status);
        if (IS_EXERROR(&status)) {
            rc = Fail("EXItemGetReferenceData", status);
            break;
        }
        if (fSame) {
            EXItemRemoveReference(hSource, h, &status);
            rc = IS_EXERROR(&status) ? Fail("EXItemRemoveReference", status) : 0;
            break;
        }
    }
    EXItemIteratorRelease(pList, 1);
    return ReleaseTwo(hSource, hDest, rc);
}

static void PrintReference(ITEM_OBJECT* hTagged) {
    EXSM_STATUS status;
    char achName[64];
    EXItemGetName(hTagged, achName, sizeof achName);
    printf("%10lu  %s", (unsigned long)EXItemGetID(hTagged), achName);
    EX_REFINFO info = {0, NULL};
    EXItemGetReferenceData(hTagged, &info, &status);
    if (!IS_EXERROR(&status) && info.pData != NULL && info.cbData > 0) {
        printf("  data \"");
        // Reference data is bytes an application chose: shown as text, anything else escaped.
        const unsigned char* pb = info.pData;
        for (uint32_t i = 0; i < info.cbData; ++i) {
            if (pb[i] >= 0x20 && pb[i] < 0x7F && pb[i] != '"' && pb[i] != '\\') {
                putchar(pb[i]);
            } else {
                printf("\\x%02X", (unsigned)pb[i]);
            }
        }
        printf("\"");
    }
    EXItemRefInfoReset(&info);
    printf("\n");
}

static int PrintReferenceList(BOARD_OBJECT* hbrd, ITEM_OBJECT* hItem, int fReferencers) {
    EXSM_STATUS status;
    ITEM_ITERATOR* pList = fReferencers ? EXItemGetReferencers(hbrd, hItem, 1, 0, NULL, 0, &status)
                                        : EXItemGetReferences(hbrd, hItem, 1, 0, NULL, 0, &status);
    if (IS_EXERROR(&status)) {
        return Fail(fReferencers ? "EXItemGetReferencers" : "EXItemGetReferences", status);
    }
    printf("%s\n", fReferencers ? "Referred to by:" : "Refers to:");
    for (ITEM_OBJECT* h = EXItemIteratorFirst(pList); h != NULL; h = EXItemIteratorNext(pList)) {
        PrintReference(h);
    }
    EXItemIteratorRelease(pList, 1);
    return 0;
}

int References(BOARD_OBJECT* hbrd, const Options* pOpt) {
    ITEM_OBJECT* hItem;
    int rc = FindItem(hbrd, pOpt->apszArgs[1], &hItem);
    if (rc != 0) {
        return rc;
    }
    rc = PrintReferenceList(hbrd, hItem, 0);
    if (rc == 0) {
        rc = PrintReferenceList(hbrd, hItem, 1);
    }
    EXSM_STATUS st2;
    EXItemRelease(hItem, &st2);
    return rc;
}
