/*
 * qnplatform.h - the platform services that callers of the Quillon libraries share with them.
 *
 * Movable global memory: strings, iterator slots and reference data that catstore hands to an
 * application are movable memory blocks; the application locks them to read them and frees
 * them with QNGlobalFree. A handle is opaque; calls check it and never touch an unknown one.
 *
 * Message boxes: every box the libraries show goes through one process-wide handler. The
 * default handler shows nothing and never blocks: it answers Cancel (2) for any box that has
 * a Cancel button and the default button otherwise. A dialog program installs its own.
 *
 * Each library that carries these services exports them; the dynamic linker binds every
 * caller in a process to one definition, so there is one handler and one handle table.
 */
#ifndef QNPLATFORM_H
#define QNPLATFORM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QN_EXPORT __attribute__((visibility("default")))
#else
#define QN_EXPORT
#endif

/* ---- Movable global memory ---------------------------------------------------------------- */

typedef struct QNGLOBAL_BLOCK* QNHGLOBAL;

#define QN_GMEM_FIXED 0x0000u
#define QN_GMEM_MOVEABLE 0x0002u
#define QN_GMEM_ZEROINIT 0x0040u
#define QN_GHND (QN_GMEM_MOVEABLE | QN_GMEM_ZEROINIT)

/* Allocates a block of cb bytes (cb may be 0). Returns NULL when memory is exhausted. */
QN_EXPORT QNHGLOBAL QNGlobalAlloc(unsigned int uFlags, size_t cb);
/* Returns the block's address and counts one more lock; NULL for an invalid handle. */
QN_EXPORT void* QNGlobalLock(QNHGLOBAL hMem);
/* Counts one lock less. Returns non-zero while the block stays locked. */
QN_EXPORT int QNGlobalUnlock(QNHGLOBAL hMem);
/* Resizes the block; the contents move with it. With QN_GMEM_ZEROINIT the added bytes are
 * zero. Returns the handle, or NULL (the block unchanged) when memory is exhausted or the
 * handle is invalid. A locked block may move; addresses from earlier locks are then stale. */
QN_EXPORT QNHGLOBAL QNGlobalReAlloc(QNHGLOBAL hMem, size_t cb, unsigned int uFlags);
/* The block's size in bytes; 0 for an invalid handle. */
QN_EXPORT size_t QNGlobalSize(QNHGLOBAL hMem);
/* Frees the block. Returns NULL on success and the handle itself when it is invalid. */
QN_EXPORT QNHGLOBAL QNGlobalFree(QNHGLOBAL hMem);

/* ---- Message boxes ------------------------------------------------------------------------ */

/* Box types and answers keep the Windows values. */
#define QN_MB_OK 0x0000u
#define QN_MB_OKCANCEL 0x0001u
#define QN_MB_ABORTRETRYIGNORE 0x0002u
#define QN_MB_YESNOCANCEL 0x0003u
#define QN_MB_YESNO 0x0004u
#define QN_MB_RETRYCANCEL 0x0005u
#define QN_MB_TYPEMASK 0x000Fu
#define QN_MB_ICONSTOP 0x0010u
#define QN_MB_ICONQUESTION 0x0020u
#define QN_MB_ICONEXCLAMATION 0x0030u
#define QN_MB_ICONINFORMATION 0x0040u
#define QN_MB_DEFBUTTON2 0x0100u
#define QN_MB_DEFBUTTON3 0x0200u
#define QN_MB_SYSTEMMODAL 0x1000u
#define QN_MB_TASKMODAL 0x2000u

#define QN_IDOK 1
#define QN_IDCANCEL 2
#define QN_IDABORT 3
#define QN_IDRETRY 4
#define QN_IDIGNORE 5
#define QN_IDYES 6
#define QN_IDNO 7

/* Shows a box and returns the button chosen. pContext is the value given at installation. */
typedef int (*QNMessageBoxHandler)(const char* pszText, const char* pszCaption, unsigned int uType,
                                   void* pContext);

/* Installs a handler for the whole process; NULL restores the default. Returns the previous one. */
QN_EXPORT QNMessageBoxHandler QNSetMessageBoxHandler(QNMessageBoxHandler pfnHandler,
                                                     void* pContext);
/* Shows a box through the installed handler. */
QN_EXPORT int QNMessageBox(const char* pszText, const char* pszCaption, unsigned int uType);
/* The answer of the default handler for a box type. */
QN_EXPORT int QNDefaultMessageBoxAnswer(unsigned int uType);

/* ---- Product name ------------------------------------------------------------------------- */

/* The running program's product name, at most 128 characters; it selects the program's client
 * settings ("Software\Quillon\<product>\<section>"). "Zelto Bookmarks" until a program sets
 * another. NULL or "" restores the default; a longer name is cut to 128 characters. */
QN_EXPORT void QNSetProductName(const char* pszName);
/* Copies the product name into pchBuffer (capacity cchBuffer, including the NUL; cut when it
 * does not fit) and returns the full name's length. */
QN_EXPORT size_t QNGetProductName(char* pchBuffer, size_t cchBuffer);

/* ---- Clock -------------------------------------------------------------------------------- */

/* Milliseconds of a monotonic clock, wrapping at 2^32 like the Windows tick count. */
QN_EXPORT uint32_t QNGetTickCount(void);

#ifdef __cplusplus
}
#endif

#endif /* QNPLATFORM_H */
