/*
 * What the parts of catcli share: the parsed command line, the failure reports and the helpers
 * that turn operands into item handles. catcli.c holds the command line and the catalog, user,
 * group and basic item commands; treecmds.c cp, mv and rm; refcmds.c link, unlink and refs;
 * findcmd.c find; bookmarkio.c the bookmark file import and export.
 */
#ifndef CATCLI_H
#define CATCLI_H

#include <stddef.h>
#include <stdint.h>

#include "catstore.h"

#define EXIT_USAGE 64
#define EXIT_DATA 65   /* the input file held something that could not be stored */
#define EXIT_EXISTS 73 /* create found a file at CATALOG and --force was not given */
#define PASSWORD_VARIABLE "QUILLON_PASSWORD"
#define MAX_OPERANDS 8
#define ITEM_TYPE_ITEM 1
#define ITEM_TYPE_FOLDER 4
#define LIST_BATCH 100

/* What the command line said. Every option lands in a string field; a flag without a value
 * (--folders) holds its own spelling when given. apszArgs[0] is the catalog. */
typedef struct Options {
    const char* pszUser;
    const char* pszPassword;
    const char* pszPasswordStdin;
    const char* pszForce;
    const char* pszUnique;
    const char* pszName;
    const char* pszFolder;
    const char* pszType;
    const char* pszUrl;
    const char* pszNote;
    const char* pszSort;
    const char* pszFolders;
    const char* pszSeconds;
    const char* pszInterval;
    const char* pszData;
    const char* pszRecursive;
    const char* pszText;
    const char* pszIn;
    const char* pszCase;
    const char* pszStatus;
    const char* pszResponsible;
    const char* pszModified;
    const char* pszDue;
    const char* apszArgs[MAX_OPERANDS];
    int cArgs;
} Options;

/* A command's routine: 0 done, -1 a command line not understood (usage follows), otherwise the
 * exit status after the routine said what went wrong. */
typedef int (*CommandRoutine)(BOARD_OBJECT* hbrd, const Options* pOpt);

/* "catcli: CALL failed: TEXT (N) in CATALOG" on standard error; returns the status as exit status.
 */
int Fail(const char* pszWhat, EXSM_STATUS status);
/* "catcli: not a valid WHAT: 'VALUE'"; returns EXIT_USAGE. */
int BadValue(const char* pszWhat, const char* pszValue);
/* A text too long for its field; returns EXIT_USAGE. */
int TooLong(const char* pszWhat, size_t cchText, size_t cchMax);
/* Digits only, at most ulMax; base 0 also takes 0x... Returns 1 when it is such a number. */
int ParseNumber(const char* psz, int nBase, unsigned long ulMax, unsigned long* pul);
/* A handle on the item an operand names (a decimal id), or the root folder for NULL. Returns 0,
 * or the exit status after saying what went wrong. */
int FindItem(BOARD_OBJECT* hbrd, const char* pszID, ITEM_OBJECT** phItem);
/* A SORT operand: a name, '-' before it for descending, or a sort code. 1 when understood. */
int ParseSort(const char* pszSort, uint16_t* pwCode);
/* One listing line: id, type, unread marks, name, URL; and the heading above such lines. */
void PrintListHeading(void);
void PrintListLine(ITEM_OBJECT* hItem);
/* Prints a list's lines a batch at a time. Returns 0, or the exit status. */
int PrintList(ITEM_ITERATOR* pList);

/* Handles on the items the operands after CATALOG name (FindItem each); on failure neither is
 * left open. ReleaseTwo releases both and returns rc. */
int FindTwo(BOARD_OBJECT* hbrd, const Options* pOpt, ITEM_OBJECT** phFirst, ITEM_OBJECT** phSecond);
int ReleaseTwo(ITEM_OBJECT* hFirst, ITEM_OBJECT* hSecond, int rc);

int CopyItem(BOARD_OBJECT* hbrd, const Options* pOpt);
int MoveItem(BOARD_OBJECT* hbrd, const Options* pOpt);
int RemoveTree(BOARD_OBJECT* hbrd, const Options* pOpt);
int Link(BOARD_OBJECT* hbrd, const Options* pOpt);
int Unlink(BOARD_OBJECT* hbrd, const Options* pOpt);
int References(BOARD_OBJECT* hbrd, const Options* pOpt);
int Find(BOARD_OBJECT* hbrd, const Options* pOpt);
int Import(BOARD_OBJECT* hbrd, const Options* pOpt);
int Export(BOARD_OBJECT* hbrd, const Options* pOpt);

#endif
