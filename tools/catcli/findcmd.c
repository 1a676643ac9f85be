/*
 * catcli find: items below a folder that pass the criteria the options give.
 */
#define _DEFAULT_SOURCE /* timegm */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "catcli.h"

/* A date: YYYY-MM-DD (midnight UTC) or seconds since 1970. */
static int ParseDate(const char* psz, size_t cch, uint32_t* pdw) {
    char ach[32];
    if (cch == 0 || cch >= sizeof ach) {
        return 0;
    }
    memcpy(ach, psz, cch);
    ach[cch] = '\0';
    unsigned long ul;
    if (ParseNumber(ach, 10, UINT32_MAX, &ul)) {
        *pdw = (uint32_t)ul;
        return 1;
    }
    struct tm tmDate;
    memset(&tmDate, 0, sizeof tmDate);
    char chEnd;
    if (cch != 10 || sscanf(ach, "%4d-%2d-%2d%c", &tmDate.tm_year, &tmDate.tm_mon, &tmDate.tm_mday,
                            &chEnd) != 3) {
        return 0;
    }
    if (tmDate.tm_mon < 1 || tmDate.tm_mon > 12 || tmDate.tm_mday < 1 || tmDate.tm_mday > 31) {
        return 0;
    }
    tmDate.tm_year -= 1900;
    tmDate.tm_mon -= 1;
    const time_t t = timegm(&tmDate);
    if (t < 0 || (unsigned long long)t > UINT32_MAX) {
        return 0;
    }
    *pdw = (uint32_t)t;
    return 1;
}

/* A TEST operand: =T, <T, >T, T1..T2 or !T1..T2. EX_SEARCH is packed: its fields are filled
 * from a test parsed here, never through pointers into it. */
typedef struct TimeTest {
    uint16_t wTest;
    uint32_t dwLow, dwHigh;
} TimeTest;
static int ParseTest(const char* psz, TimeTest* pTest) {
    pTest->dwHigh = 0;
    switch (psz[0]) {
        case '=':
            pTest->wTest = EX_COMPARE_EQUAL;
            return ParseDate(psz + 1, strlen(psz + 1), &pTest->dwLow);
        case '<':
            pTest->wTest = EX_COMPARE_BEFORE;
            return ParseDate(psz + 1, strlen(psz + 1), &pTest->dwLow);
        case '>':
            pTest->wTest = EX_COMPARE_AFTER;
            return ParseDate(psz + 1, strlen(psz + 1), &pTest->dwLow);
        default:
            break;
    }
    const int fOutside = psz[0] == '!';
    const char* pszRange = psz + fOutside;
    const char* pszDots = strstr(pszRange, "..");
    if (pszDots == NULL) {
        return 0;
    }
    pTest->wTest = fOutside ? EX_COMPARE_OUTSIDE : EX_COMPARE_BETWEEN;
    return ParseDate(pszRange, (size_t)(pszDots - pszRange), &pTest->dwLow) &&
           ParseDate(pszDots + 2, strlen(pszDots + 2), &pTest->dwHigh) &&
           pTest->dwLow <= pTest->dwHigh;
}

/* --in: a comma-separated list of name, description and note. */
static int ParseFields(const char* psz, uint16_t* pwFlags) {
    static const struct {
        const char* pszName;
        uint16_t wFlag;
    } s_aFields[] = {
        {"name", EX_MATCH_NAME}, {"description", EX_MATCH_DESCRIPTION}, {"note", EX_MATCH_NOTE}};
    *pwFlags = 0;
    for (const char* p = psz;;) {
        const char* pComma = strchr(p, ',');
        const size_t cch = pComma != NULL ? (size_t)(pComma - p) : strlen(p);
        size_t i = 0;
        while (
            i < sizeof s_aFields / sizeof s_aFields[0] &&
            !(strlen(s_aFields[i].pszName) == cch && strncmp(p, s_aFields[i].pszName, cch) == 0)) {
            ++i;
        }
        if (i == sizeof s_aFields / sizeof s_aFields[0]) {
            return 0;
        }
        *pwFlags |= s_aFields[i].wFlag;
        if (pComma == NULL) {
            return 1;
        }
        p = pComma + 1;
    }
}

/* The criteria from the options; returns 0, or the exit status for a value not understood. */
static int BuildSearch(const Options* pOpt, EX_SEARCH* pSearch) {
    memset(pSearch, 0, sizeof *pSearch);
    pSearch->fRecursive = pOpt->pszRecursive != NULL;
    if (pOpt->pszText != NULL) {
        const size_t cch = strlen(pOpt->pszText);
        if (cch >= sizeof pSearch->szText) {
            return TooLong("search text", cch, sizeof pSearch->szText - 1);
        }
        memcpy(pSearch->szText, pOpt->pszText, cch + 1);
        uint16_t wFields = EX_MATCH_NAME;
        if (pOpt->pszIn != NULL && !ParseFields(pOpt->pszIn, &wFields)) {
            return BadValue("list of fields (name, description, note)", pOpt->pszIn);
        }
        pSearch->wMatchFlags |= wFields;
    } else if (pOpt->pszIn != NULL) {
        fprintf(stderr, "catcli: --in says where to look for the --text\n");
        return EXIT_USAGE;
    }
    if (pOpt->pszCase != NULL) {
        pSearch->wOptions |= EX_SEARCH_CASE;
    }
    unsigned long ul;
    if (pOpt->pszStatus != NULL) {
        if (!ParseNumber(pOpt->pszStatus, 0, UINT16_MAX, &ul) || ul == 0) {
            return BadValue("status mask", pOpt->pszStatus);
        }
        pSearch->wMatchFlags |= EX_MATCH_STATUS;
        pSearch->wStatusMask = (uint16_t)ul;
    }
    if (pOpt->pszResponsible != NULL) {
        if (!ParseNumber(pOpt->pszResponsible, 10, UINT16_MAX, &ul)) {
            return BadValue("user id", pOpt->pszResponsible);
        }
        pSearch->wMatchFlags |= EX_MATCH_RESPONSIBLE;
        pSearch->wResponsible = (uint16_t)ul;
    }
    if (pOpt->pszModified != NULL) {
        TimeTest test;
        if (!ParseTest(pOpt->pszModified, &test)) {
            return BadValue("time test", pOpt->pszModified);
        }
        pSearch->wModifiedTest = test.wTest;
        pSearch->dwModifiedLow = test.dwLow;
        pSearch->dwModifiedHigh = test.dwHigh;
        pSearch->wMatchFlags |= EX_MATCH_MODIFIED;
    }
    if (pOpt->pszDue != NULL) {
        TimeTest test;
        if (!ParseTest(pOpt->pszDue, &test)) {
            return BadValue("time test", pOpt->pszDue);
        }
        pSearch->wDueDateTest = test.wTest;
        pSearch->dwDueDateLow = test.dwLow;
        pSearch->dwDueDateHigh = test.dwHigh;
        pSearch->wMatchFlags |= EX_MATCH_DUEDATE;
    }
    return 0;
}

int Find(BOARD_OBJECT* hbrd, const Options* pOpt) {
    uint16_t wSort = EX_SORT_NAME;
    if (pOpt->pszSort != NULL && !ParseSort(pOpt->pszSort, &wSort)) {
        return BadValue("sort", pOpt->pszSort);
    }
    EX_SEARCH search;
    int rc = BuildSearch(pOpt, &search);
    if (rc != 0) {
        return rc;
    }
    if (pOpt->cArgs > 1) {
        ITEM_OBJECT* hStart;
        rc = FindItem(hbrd, pOpt->apszArgs[1], &hStart);
        if (rc != 0) {
            return rc;
        }
        search.dwStartFolderID = EXItemGetID(hStart);
        EXSM_STATUS st2;
        EXItemRelease(hStart, &st2);
    }
    EXSM_STATUS status;
    ITEM_ITERATOR* pList = EXBoardFindItems(hbrd, &search, wSort, NULL, NULL, 0, &status);
    if (IS_EXERROR(&status)) {
        return Fail("EXBoardFindItems", status);
    }
    PrintListHeading();
    rc = PrintList(pList);
    EXItemIteratorRelease(pList, 1);
    return rc;
}
