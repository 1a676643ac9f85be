/*
 * The browser bookmark file (<!DOCTYPE NETSCAPE-Bookmark-file-1>), read into a tree and written
 * back. Nothing here knows the catalog: the parser takes bytes and gives nodes, the writer takes
 * texts and gives bytes, so both can be fed anything.
 *
 * What a browser writes, and what the parser makes of it:
 *   <DT><H3 ADD_DATE=".." LAST_MODIFIED="..">Folder</H3>   a folder; the <DL> after it holds
 *   <DD>text                                                 its contents, and a <DD> before
 *   <DL><p> ... </DL><p>                                     that its description
 *   <DT><A HREF=".." ADD_DATE=".." LAST_MODIFIED=".." LAST_VISIT="..">Title</A>
 *   <DD>text                                                 a bookmark and its description
 * Tag and attribute names are matched without regard to letter case and entities are decoded
 * (the named ones a browser writes, and numeric ones as UTF-8). Broken nesting never fails the
 * parse: an H3 without a DL is an empty folder, a DL without an H3 adds no level, a surplus </DL>
 * is ignored, a missing one is supplied at the end, an unclosed A or H3 ends at the next
 * structural tag, and an unterminated comment, tag or quoted value ends the input. Every byte is
 * looked at a bounded number of times and nesting is kept on the heap, so the time is linear and
 * no input, however deep or large, exhausts the call stack.
 */
#ifndef CATCLI_BOOKMARKFILE_H
#define CATCLI_BOOKMARKFILE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BOOKMARK_NONE 0u /* no node; node 0 is the root, which is never anyone's child */

/* One folder or bookmark. Texts are offsets into the tree's text pool (BookmarkText); 0 is the
 * empty text. Dates are seconds since 1970, 0 when the file gave none. */
typedef struct BookmarkNode {
    int fFolder;
    uint32_t nParent;
    uint32_t nFirstChild, nLastChild, nNextSibling; /* in file order */
    size_t offTitle, offUrl, offDescription;
    uint32_t dwAdded, dwModified, dwVisited;
} BookmarkNode;

typedef struct BookmarkTree {
    BookmarkNode* aNodes; /* aNodes[0] is the root folder, the file's outermost list */
    size_t cNodes, cNodesAlloc;
    char* pchText; /* NUL-terminated texts back to back; offset 0 holds "" */
    size_t cchText, cchTextAlloc;
    size_t cFolders, cBookmarks; /* not counting the root */
} BookmarkTree;

/* Parses cb bytes into *pTree (which the caller frees with BookmarkTreeFree, also on failure).
 * Returns 0, or -1 when memory ran out. */
int BookmarkTreeParse(const char* pb, size_t cb, BookmarkTree* pTree);
void BookmarkTreeFree(BookmarkTree* pTree);

static inline const char* BookmarkText(const BookmarkTree* pTree, size_t off) {
    return pTree->pchText + off;
}

/* The writer: a file header (a title for the H1), then folders and bookmarks as BeginFolder /
 * Bookmark / EndFolder calls nested like the tree, then the trailer, which closes the outermost
 * list. Texts are escaped (&, <, >, "); a date of 0 leaves its attribute out; a NULL or empty
 * description writes no DD. Each returns 0, or -1 when the stream failed. */
int BookmarkWriteHeader(FILE* pFile, const char* pszTitle);
int BookmarkWriteBeginFolder(FILE* pFile, int nDepth, const char* pszTitle,
                             const char* pszDescription, uint32_t dwAdded, uint32_t dwModified);
int BookmarkWriteBookmark(FILE* pFile, int nDepth, const char* pszTitle, const char* pszUrl,
                          const char* pszDescription, uint32_t dwAdded, uint32_t dwModified,
                          uint32_t dwVisited);
int BookmarkWriteEndFolder(FILE* pFile, int nDepth);
int BookmarkWriteTrailer(FILE* pFile);

#ifdef __cplusplus
}
#endif

#endif
