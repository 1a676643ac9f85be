/*
 * webnet.h - fetch and send web pages, keep proxy and realm settings, scan HTML pages.
 *
 * Every export is a plain C function whose name begins with QNINet. Unless said otherwise an
 * export returns one of the QNINET_* result codes below; their meaning is the same for every
 * export. Call QNINetInitialize first and QNINetTerminate last. All calls, including
 * QNINetAsyncContinue, come from one thread.
 *
 * A load (every fetch and send) creates a request. The request handle (HTRequest *) is what the
 * status routine receives; it is valid from the first status call until the completion call
 * (or, for a load aborted with QNINetCloseConnection, until the load ends without one).
 *
 * Time-outs: no load waits forever. Establishing a connection may take at most
 * QNINET_CONNECT_TIMEOUT_MS, and a connection on which nothing moves for QNINET_IDLE_TIMEOUT_MS
 * ends the load with QNINET_ERR_HT_TIMED_OUT. The environment variables
 * QUILLON_WEBNET_CONNECT_TIMEOUT_MS and QUILLON_WEBNET_IDLE_TIMEOUT_MS, read at
 * QNINetInitialize, change them.
 */
#ifndef WEBNET_H
#define WEBNET_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QNINET_API __attribute__((visibility("default")))
#else
#define QNINET_API
#endif

/* ---- Result codes --------------------------------------------------------------------------- */

#define QNINET_OK 0 /* success; asynchronous: the load is under way */
#define QNINET_ERR_INIT                                                               \
    2                                 /* initialisation failed, or a socket error was \
                                         reported to QNINetAsyncContinue */
#define QNINET_ERR_BAD_URL 3          /* bad URL, or a scheme the operation does not support */
#define QNINET_ERR_FILE_SEEK 4        /* file handle cannot be rewound / file size unknown */
#define QNINET_ERR_FILE_OPEN 5        /* a file cannot be opened or created */
#define QNINET_ERR_NOT_INITIALIZED 6  /* QNINetInitialize has not been called */
#define QNINET_ERR_BUFFER_TOO_SMALL 7 /* destination buffer too small */
#define QNINET_ERR_NO_ROUTINE 8       /* a required routine is missing */
#define QNINET_ERR_TERMINATE 10       /* termination failed */
#define QNINET_ERR_LOAD 13            /* the load could not be started or did not complete */
#define QNINET_ERR_SHUTDOWN                                                         \
    14                                /* a connection could not be shut down, or an \
                                         asynchronous load was aborted */
#define QNINET_ERR_CANCEL_BLOCKING 15 /* a blocking socket call could not be cancelled */
#define QNINET_ERR_BAD_ARGS 16        /* bad arguments */
#define QNINET_ERR_NO_SCANNER 17      /* the page scanner could not be created */
#define QNINET_ERR_NO_TITLE 18        /* the page has no title */
#define QNINET_ERR_PROXY_NOT_FOUND 19 /* the proxy host cannot be located */
#define QNINET_ERR_UNKNOWN_SOCKET 21  /* asynchronous event for a socket of no request */
#define QNINET_ERR_HT_BASE 22         /* 22 + n: the load failed with error-table entry n */
#define QNINET_NOT_MODIFIED 30        /* not modified since the given time */

/* The error-table entries (n) a load can end with; the result code is QNINET_ERR_HT_BASE + n. */
#define QNINET_HTERR_OK 0 /* 200 */
#define QNINET_HTERR_CREATED 1
#define QNINET_HTERR_ACCEPTED 2
#define QNINET_HTERR_PARTIAL 3
#define QNINET_HTERR_NO_RESPONSE 4 /* 204 */
#define QNINET_HTERR_MOVED 5       /* 301 */
#define QNINET_HTERR_FOUND 6       /* 302 */
#define QNINET_HTERR_METHOD 7      /* 303 */
#define QNINET_HTERR_NOT_MODIFIED 8
#define QNINET_HTERR_BAD_REQUEST 9
#define QNINET_HTERR_UNAUTHORIZED 10
#define QNINET_HTERR_PAYMENT_REQUIRED 11
#define QNINET_HTERR_FORBIDDEN 12
#define QNINET_HTERR_NOT_FOUND 13
#define QNINET_HTERR_NOT_ALLOWED 14
#define QNINET_HTERR_NONE_ACCEPTABLE 15
#define QNINET_HTERR_PROXY 16
#define QNINET_HTERR_TIMEOUT 17  /* 408 */
#define QNINET_HTERR_INTERNAL 18 /* 500 */
#define QNINET_HTERR_NOT_IMPLEMENTED 19
#define QNINET_HTERR_BAD_GATEWAY 20
#define QNINET_HTERR_DOWN 21 /* 503 */
#define QNINET_HTERR_GATE_TIMEOUT 22
#define QNINET_HTERR_HTTP_CODES_END 23
#define QNINET_HTERR_NOT_FOUND_HOST 24
#define QNINET_HTERR_NO_HOST 25
#define QNINET_HTERR_FTP_SERVER 26
#define QNINET_HTERR_FTP_NO_RESPONSE 27
#define QNINET_HTERR_TIME_OUT 28
#define QNINET_HTERR_GOPHER_SERVER 29
#define QNINET_HTERR_INTERRUPTED 30
#define QNINET_HTERR_CON_INTR 31
#define QNINET_HTERR_CSO_SERVER 32
#define QNINET_HTERR_HTTP09 33
#define QNINET_HTERR_BAD_REPLY 34
#define QNINET_HTERR_UNKNOWN_AA 35
#define QNINET_HTERR_NEWS_SERVER 36
#define QNINET_HTERR_FILE_TO_FTP 37
#define QNINET_HTERR_MAX_REDIRECT 38
#define QNINET_HTERR_EOF 39
#define QNINET_HTERR_WAIS_OVERFLOW 40
#define QNINET_HTERR_WAIS_MODULE 41
#define QNINET_HTERR_WAIS_NO_CONNECT 42
#define QNINET_HTERR_SYSTEM 43

/* Result codes of the common error-table entries. */
#define QNINET_ERR_HT_BAD_REQUEST 31
#define QNINET_ERR_HT_UNAUTHORIZED 32
#define QNINET_ERR_HT_FORBIDDEN 34
#define QNINET_ERR_HT_NOT_FOUND 35
#define QNINET_ERR_HT_INTERNAL 40
#define QNINET_ERR_HT_HOST_NOT_FOUND 46
#define QNINET_ERR_HT_TIMED_OUT 50
#define QNINET_ERR_HT_HTTP09 55
#define QNINET_ERR_HT_BAD_REPLY 56
#define QNINET_ERR_HT_TOO_MANY_REDIRECTS 60
#define QNINET_ERR_HT_PREMATURE_EOF 61
#define QNINET_ERR_HT_SYSTEM 65

/* ---- Status routine ------------------------------------------------------------------------- */

/* A request: opaque. It carries the connection socket, the FTP data socket, the abort flag,
 * the status routine and its user data, the output kind and target, the data source, and the
 * If-Modified-Since time of one load. */
typedef struct HTRequest HTRequest;

/* Called with progress codes during the load and one completion code at its end. A return of
 * 0 at a progress call stops the load; the return value of the completion call is ignored. */
typedef int (*QNINetCallback)(int code, HTRequest* request, void* userData);

/* Completion codes. */
#define QNINET_DONE_LOADED 2000       /* the load succeeded */
#define QNINET_DONE_NOT_MODIFIED 2001 /* not modified since the given time */
#define QNINET_DONE_FAILED 2002       /* 2002 + result code: the load failed */

/* Progress codes of HTTP loads: before each loader step its state (0 begin, 1 connecting,
 * 2 request and response, 3 redirection, 4 authentication); after a step the old state + 1000,
 * or the old state again when the step ended the load. */
#define QNINET_PROGRESS_BEGIN 0
#define QNINET_PROGRESS_CONNECTING 1
#define QNINET_PROGRESS_REQUEST 2
#define QNINET_PROGRESS_REDIRECTION 3
#define QNINET_PROGRESS_AUTHENTICATION 4
#define QNINET_PROGRESS_STEP_DONE 1000
/* Asked when a server wants credentials: the routine may look at the realm with
 * QNINetGetRealmInfo and store credentials with QNINetAddRealm; nonzero retries. */
#define QNINET_PROGRESS_CREDENTIALS 5
/* Progress codes of FTP loads (the FTP loader's states 0..5 and error). */
#define QNINET_FTP_PROGRESS_BEGIN (-5)
#define QNINET_FTP_PROGRESS_CONNECTING 0
#define QNINET_FTP_PROGRESS_LOGIN 1
#define QNINET_FTP_PROGRESS_DATA_CONNECTION 1001
#define QNINET_FTP_PROGRESS_TRANSFER 1002
#define QNINET_FTP_PROGRESS_DONE (-1)
#define QNINET_FTP_PROGRESS_ERROR (-3)

/* ---- Library, asynchronous operation, connections, URLs ------------------------------------- */

/* Starts the library; a second call does nothing. 0, or 2 when it cannot start. */
QNINET_API int QNINetInitialize(void);
/* Stops the library: ends every running load (without completion calls), empties the proxy,
 * exception and realm tables and the search-engine configuration cache. 0; 10 when called from
 * a status routine (the library stays initialised). */
QNINET_API int QNINetTerminate(void);

/* Socket events, with the Windows Sockets bit values. */
#define QNINET_FD_READ 0x01
#define QNINET_FD_WRITE 0x02
#define QNINET_FD_OOB 0x04
#define QNINET_FD_ACCEPT 0x08
#define QNINET_FD_CONNECT 0x10
#define QNINET_FD_CLOSE 0x20
/* The event word given to QNINetAsyncContinue: the event in the low 16 bits, an error number
 * in the high 16 bits. */
#define QNINET_MAKE_EVENT(event, error) ((long)(((unsigned long)(error) << 16) | (event)))
/* The pseudo socket of the load timer. */
#define QNINET_TIMER_SOCKET (-1)

/* The application's socket watcher, which takes the place of a window in asynchronous mode.
 * webnet calls it with the message given to QNINetSetAsync:
 *   - socket >= 0: watch the socket for the events in `events` (QNINET_FD_READ, QNINET_FD_WRITE
 *     or both); 0 means stop watching it. When the socket is ready, call
 *     QNINetAsyncContinue(socket, event) with QNINET_FD_READ and/or QNINET_FD_WRITE (also on
 *     hang-up or error, a poll loop may pass QNINET_FD_CLOSE or QNINET_FD_READ).
 *   - socket == QNINET_TIMER_SOCKET: call QNINetAsyncContinue(QNINET_TIMER_SOCKET, 0) once
 *     `events` milliseconds from now (0: as soon as possible); -1 cancels the timer. A new
 *     timer replaces the previous one. Time-outs of asynchronous loads depend on it. */
typedef void (*QNINetAsyncWindow)(unsigned int message, int socket, long events);

/* Requests created from now on run asynchronously through `window` (NULL: synchronously).
 * An asynchronous operation returns 0 when the load is under way; everything it was given by
 * address (the buffer pointer and length result of memory output) must stay valid until its
 * completion call. A status routine may start further loads from its completion call; one
 * started from a progress call of an asynchronous load fails with 13. */
QNINET_API int QNINetSetAsync(QNINetAsyncWindow window, unsigned int message);
/* Drives the asynchronous loads after an event on `socket`. 0 while the socket's load goes on;
 * the load's finishing code when it ended; 21 for a socket that belongs to no request (unless
 * the event is QNINET_FD_CLOSE); 2 when `event` carries an error. */
QNINET_API int QNINetAsyncContinue(int socket, long event);
/* Stores the request's connection socket (-1 when none yet). 0; 16 for a null pointer or a
 * request that has ended. */
QNINET_API int QNINetGetSocketNumber(HTRequest* request, long* socket);
/* Shuts the request's sockets down and marks it aborted: it ends without a completion call.
 * 0; 14 when a shutdown fails; 16 for a null pointer or a request that has ended. */
QNINET_API int QNINetCloseConnection(HTRequest* request);
/* Aborts every running load; none of them makes further status calls. 0, or 15. */
QNINET_API int QNINetCloseAllConnections(void);
/* 0 (6 when not initialised). Bad URLs are refused when a load is created. */
QNINET_API int QNINetCheckURL(const char* url);

#define QNINET_URL_SCHEME 0
#define QNINET_URL_HOST 1
#define QNINET_URL_PATH 2
/* Copies part `part` of `url` (without punctuation) into `buffer`, at most *length bytes,
 * terminated only when it fits; sets *length to the part's full length. 16 for another part or
 * null pointers; 3 (and an empty buffer) when the part cannot be extracted. */
QNINET_API int QNINetParseURL(const char* url, int part, long* length, char* buffer);

/* ---- Fetch and send --------------------------------------------------------------------------- *
 * `ifModifiedSince`: seconds since 1 January 1970 UTC, 0 for none. `fileHandle`: an open file
 * descriptor (positioned at 0 first, not truncated). Memory output: when the load ends the
 * received bytes plus a terminating NUL (L bytes) are handed over: with *buffer NULL a block of
 * L bytes is allocated with malloc (the caller frees it) and stored in *buffer; otherwise they
 * are copied only when bufferSize >= L. *length is always set to L (0 first). Output files by
 * name are created (emptied) before the URL is checked. */

QNINET_API int QNINetGetPageToFileByName(const char* url, long ifModifiedSince,
                                         const char* fileName, QNINetCallback callback,
                                         void* userData);
/* Always synchronous. */
QNINET_API int QNINetGetPageToFileByHandle(const char* url, long ifModifiedSince, int fileHandle,
                                           QNINetCallback callback, void* userData);
QNINET_API int QNINetGetHeadToFileByName(const char* url, const char* fileName,
                                         QNINetCallback callback, void* userData);
QNINET_API int QNINetGetHeadToFileByHandle(const char* url, int fileHandle, QNINetCallback callback,
                                           void* userData);
QNINET_API int QNINetGetHeadToBuffer(const char* url, char** buffer, long bufferSize, long* length,
                                     QNINetCallback callback, void* userData);
QNINET_API int QNINetPostFromBufferToBuffer(const char* url, const char* data, long dataLength,
                                            char** buffer, long bufferSize, long* length,
                                            QNINetCallback callback, void* userData);
QNINET_API int QNINetPostFromFileByNameToFileByName(const char* url, const char* sourceFileName,
                                                    const char* fileName, QNINetCallback callback,
                                                    void* userData);
QNINET_API int QNINetPutFromBuffer(const char* url, const char* data, long dataLength,
                                   QNINetCallback callback, void* userData);
QNINET_API int QNINetPutFromFileByName(const char* url, const char* sourceFileName,
                                       QNINetCallback callback, void* userData);

/* ---- Proxy and realms ------------------------------------------------------------------------ */

#define QNINET_SCHEME_HTTP 0
#define QNINET_SCHEME_FTP 1
/* HTTPS URLs go through a CONNECT tunnel of this proxy, else of the HTTP proxy; exceptions
   given for HTTP also hold for HTTPS. */
#define QNINET_SCHEME_HTTPS 2

/* Adds or replaces the proxy for a scheme. 0 (6 when not initialised). */
QNINET_API int QNINetSetProxy(int scheme, const char* proxyURL);
/* 0 when a proxy table existed and was emptied, 1 when there was none. */
QNINET_API int QNINetClearProxy(void);
/* `host` may end in ":port". 0 when added, 1 when the host text is empty. */
QNINET_API int QNINetAddProxyException(int scheme, const char* host);
/* 0 when an exception table existed and was emptied, 1 when there was none. */
QNINET_API int QNINetClearProxyException(void);
/* Stores credentials for a realm of "host[:port]" (port 80 when none; an HTTPS server without a
 * port is "host:443"). Credentials of port 443, or of a server that asked for them over TLS, are
 * only ever sent over TLS. 0; 16 for an empty host or realm. */
QNINET_API int QNINetAddRealm(const char* hostAndPort, const char* realm, const char* user,
                              const char* password);
/* For the status routine at QNINET_PROGRESS_CREDENTIALS: the host (with port, when the URL has
 * one; ":443" for an HTTPS URL without one) and realm the request is asked about. Each text is copied when its buffer is given and it
 * fits with its NUL; each size becomes the text's length + 1. 0; 1 when there is no realm yet
 * or a size pointer is null; 3 when the host cannot be extracted. */
QNINET_API int QNINetGetRealmInfo(HTRequest* request, char* hostBuffer, unsigned long* hostSize,
                                  char* realmBuffer, unsigned long* realmSize);

/* For the status routine, also at the completion call: why the load failed, in words, when the
 * result code alone does not say it (for a refused TLS handshake: "unknown certificate
 * authority", "certificate has expired", "certificate is not valid for this host name",
 * "self-signed certificate", "not a TLS server", ...); "" otherwise. The text is copied when
 * the buffer is given and it fits with its NUL; *size becomes its length + 1. 0; 1 for a
 * request that is not running or a null size pointer. */
QNINET_API int QNINetGetErrorText(HTRequest* request, char* buffer, unsigned long* size);

/* ==== page scanning and search-engine configurations ========================================= */

/* A page scan reads an HTML file and hands its structure, as a flat sequence of element records,
 * to the application's routine. The file is read in blocks of up to 16 KB and tokenised with the
 * HTML DTD of this library (86 elements looked up without regard to case, ISO Latin-1 entities).
 * Reported are: the text of TITLE, H1..H7 and A (containers, at their end tag, with the start
 * tag's attributes), the start and end of the lists DL, DIR, MENU, OL, UL and BODY, the start of
 * DT, DD, LI, TT, HR, ADDRESS and META, and runs of other text. */

#define QNINET_SCAN_CONTAINER 0  /* TITLE, H1..H7, A: `text` is the enclosed text */
#define QNINET_SCAN_LIST_START 1 /* DL, DIR, MENU, OL, UL, BODY start tag */
#define QNINET_SCAN_LIST_END 2   /* their end tag (no attributes) */
#define QNINET_SCAN_SIMPLE 3     /* DT, DD, LI, TT, HR, ADDRESS, META start tag */
#define QNINET_SCAN_TEXT 4       /* a run of text outside containers (`name` is NULL) */

/* One attribute of a start tag: its name as the DTD spells it ("HREF", "QNI_ITEM_TYPE",
 * "Bulletin-Date", ...) and the value copied from the tag (NULL when the tag gives the
 * attribute without a value). */
typedef struct ScanAttribute {
    const char* name;
    const char* value;
} ScanAttribute;

/* An element record. Valid only during the routine's call; the scanner owns it and everything
 * it points to, so the routine copies what it keeps. */
typedef struct ScanElement {
    const char* name;                /* upper case, as in the DTD; NULL for a text run */
    const char* text;                /* container text or the run's text; NULL when empty */
    int kind;                        /* QNINET_SCAN_* */
    int count;                       /* number of attributes present on the start tag */
    const ScanAttribute* attributes; /* `count` entries in DTD order (NULL when none) */
} ScanElement;

/* The application routine of a page scan: nonzero continues the scan, 0 stops it (the routine
 * is then not called again for this scan). */
typedef int (*QNINetScanRoutine)(ScanElement* element, void* userData);

/* The scan hook: called on the scanning thread before the first byte of every block read and
 * then every 200 bytes, so an application can keep its user interface alive during a long scan
 * (this is where a Windows application pumped its messages). Returning 0 stops the running
 * scan as if the routine had returned 0. No hook is installed by default. */
typedef int (*QNINetScanHook)(void* hookData);

/* Installs the process-wide scan hook (NULL: none) and returns the previous one. Not tied to
 * QNINetInitialize; may be called at any time from the scanning thread. */
QNINET_API QNINetScanHook QNINetSetScanHook(QNINetScanHook hook, void* hookData);

/* Scans the file `fileName` (opened read-only) and calls `routine` for every record.
 * 0 (also when the routine stopped the scan), 6 not initialised, 5 the file cannot be opened
 * or is no regular file (a folder, device or named pipe), 8 `routine` is NULL, 4 the file's
 * size cannot be read, 17 no scanner. */
QNINET_API int QNINetScanPageFromFileByName(const char* fileName, QNINetScanRoutine routine,
                                            void* userData);
/* The same on an open file descriptor: it is rewound to offset 0 first (4 when it cannot be,
 * e.g. a pipe, or when it is no regular file; 4 also when a read fails, e.g. on a descriptor
 * open for writing only), left open and positioned at the end of what was read. */
QNINET_API int QNINetScanPageFromFileByHandle(int file, QNINetScanRoutine routine,
                                              void* userData);
/* The value of the first of `count` attributes whose name equals `name` without regard to
 * case; NULL when there is none, when it has no value, or for null arguments. Works without
 * QNINetInitialize. */
QNINET_API const char* QNINetScanAttribute(const char* name, int count,
                                           const ScanAttribute attributes[]);
/* Copies the text of the page's first TITLE into `buffer` (`size` bytes with the NUL).
 * 0; 18 no TITLE (or an empty one); 7 the title does not fit; 16 `buffer` is NULL; and the
 * codes of QNINetScanPageFromFileByName / ...ByHandle. */
QNINET_API int QNINetScanForTitleFromFileByName(const char* fileName, int size, char* buffer);
QNINET_API int QNINetScanForTitleFromFileByHandle(int file, int size, char* buffer);

/* A search-engine configuration: which anchors of an engine's results page are results.
 * Kept in "QNINET.INI" beside libwebnet.so (or in the file named by the environment variable
 * QUILLON_QNINET_INI): section "QNINET" with "NumNames" and "Name0".."NameN-1", and one section
 * per name with "Type", "StartElement", "EndElement", "Skip" and "IgnoreHostAnchors". */
typedef struct SearchEngineConfig {
    char* name;             /* lower case; matched as a substring of the lower-case key */
    int type;               /* 0 regions StartElement..EndElement after Skip, 1 the first
                               anchor after each StartElement, 2 every anchor */
    char* startElement;     /* element name that opens a region */
    char* endElement;       /* element name that closes a region (mode 0); may be NULL */
    int skip;               /* leading StartElement occurrences passed over (mode 0) */
    int ignoreHostAnchors;  /* 1: anchors to relative links or to hosts containing the name
                               are not results */
} SearchEngineConfig;

/* Reads the configuration file. Stores a malloc'ed array of the valid configurations in
 * *result (free it with QNINetFreeSearchEngineConfigs) and returns their number. Returns 0 and
 * leaves *result untouched when the file has no configurations ("NumNames" missing, 0 or above
 * 99999) or the library's folder is unknown; with configurations listed but none valid,
 * *result becomes NULL. Works without QNINetInitialize. */
QNINET_API int QNINetReadSearchEngineConfigs(SearchEngineConfig** result);
/* Releases an array returned by QNINetReadSearchEngineConfigs. */
QNINET_API void QNINetFreeSearchEngineConfigs(SearchEngineConfig* configs, int count);
/* Writes `count` configurations: "NumNames", "Name<i>" and each configuration's section (a NULL
 * endElement deletes that key); other keys and sections stay. Lookups afterwards see the
 * written file. 1; 0 when the file cannot be written or for bad arguments: a name with a line
 * break or a bracket, or an element name with a line break, refuses the whole write and
 * leaves the file as it was. */
QNINET_API int QNINetWriteSearchEngineConfig(const SearchEngineConfig* configs, int count);
/* 1 when a configuration's name occurs in `key` (without regard to case); its name is copied
 * into `buffer` (at most `size` bytes, always terminated when size > 0). 0 when none matches
 * or `key` is NULL. Works without QNINetInitialize. */
QNINET_API int QNINetCheckForSearchEngineConfig(const char* key, int size, char* buffer);
/* Scans a search engine's results page and calls `routine` with each result anchor (an A
 * container record); its return value is ignored and the scan always reads the whole file.
 * The configuration is the one matching `key`, or, when `key` is NULL, the page's title; a page
 * nothing matches gets every anchor. *count (when given) receives the number of anchors
 * reported. Result codes as QNINetScanPageFromFileByName / ...ByHandle. */
QNINET_API int QNINetScanForAnchorFromFileByName(const char* fileName, const char* key,
                                                 QNINetScanRoutine routine, void* userData,
                                                 long* count);
QNINET_API int QNINetScanForAnchorFromFileByHandle(int file, const char* key,
                                                   QNINetScanRoutine routine, void* userData,
                                                   long* count);

/* ==== end of page scanning and search-engine configurations ================================== */

#ifdef __cplusplus
}
#endif

#endif /* WEBNET_H */
