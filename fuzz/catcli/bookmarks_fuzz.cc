// libFuzzer harness for the bookmark file parser: any bytes must parse into a well-formed tree
// (every child names its parent, counts agree), and that tree written out and parsed again must
// give the same tree, node for node: what export writes, import reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bookmarkfile.h"

namespace {

void CheckShape(const BookmarkTree& tree) {
    size_t cFolders = 0, cBookmarks = 0;
    for (size_t n = 0; n < tree.cNodes; ++n) {
        const BookmarkNode& node = tree.aNodes[n];
        if (node.offTitle >= tree.cchText || node.offUrl >= tree.cchText ||
            node.offDescription >= tree.cchText || (!node.fFolder && node.nFirstChild != 0)) {
            std::abort();
        }
        for (uint32_t c = node.nFirstChild; c != BOOKMARK_NONE; c = tree.aNodes[c].nNextSibling) {
            if (c <= n || c >= tree.cNodes || tree.aNodes[c].nParent != n) {
                std::abort();  // children come after their folder, so this also rules out cycles
            }
        }
        if (n > 0) {
            ++(node.fFolder ? cFolders : cBookmarks);
        }
    }
    if (cFolders != tree.cFolders || cBookmarks != tree.cBookmarks) {
        std::abort();
    }
}

// Writes the tree the way export does: depth first, each folder's children in order.
void WriteTree(const BookmarkTree& tree, FILE* pFile) {
    BookmarkWriteHeader(pFile, "Fuzz");
    std::vector<uint32_t> next{tree.aNodes[0].nFirstChild};
    while (!next.empty()) {
        const uint32_t n = next.back();
        const int nDepth = static_cast<int>(next.size()) - 1;
        if (n == BOOKMARK_NONE) {
            next.pop_back();
            if (!next.empty()) {
                BookmarkWriteEndFolder(pFile, nDepth - 1);
            }
            continue;
        }
        const BookmarkNode& node = tree.aNodes[n];
        next.back() = node.nNextSibling;
        if (node.fFolder) {
            BookmarkWriteBeginFolder(pFile, nDepth, BookmarkText(&tree, node.offTitle),
                                     BookmarkText(&tree, node.offDescription), node.dwAdded,
                                     node.dwModified);
            next.push_back(node.nFirstChild);
        } else {
            BookmarkWriteBookmark(pFile, nDepth, BookmarkText(&tree, node.offTitle),
                                  BookmarkText(&tree, node.offUrl),
                                  BookmarkText(&tree, node.offDescription), node.dwAdded,
                                  node.dwModified, node.dwVisited);
        }
    }
    BookmarkWriteTrailer(pFile);
}

bool SameText(const BookmarkTree& a, size_t offA, const BookmarkTree& b, size_t offB) {
    return std::strcmp(BookmarkText(&a, offA), BookmarkText(&b, offB)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    BookmarkTree tree;
    if (BookmarkTreeParse(reinterpret_cast<const char*>(pb), cb, &tree) != 0) {
        BookmarkTreeFree(&tree);
        return 0;
    }
    CheckShape(tree);
    char* pchOut = nullptr;
    size_t cchOut = 0;
    FILE* pFile = open_memstream(&pchOut, &cchOut);
    if (pFile == nullptr) {
        BookmarkTreeFree(&tree);
        return 0;
    }
    WriteTree(tree, pFile);
    std::fclose(pFile);
    BookmarkTree again;
    if (BookmarkTreeParse(pchOut, cchOut, &again) == 0) {
        CheckShape(again);
        if (again.cNodes != tree.cNodes) {
            std::abort();
        }
        for (size_t n = 0; n < tree.cNodes; ++n) {
            const BookmarkNode& x = tree.aNodes[n];
            const BookmarkNode& y = again.aNodes[n];
            if (x.fFolder != y.fFolder || x.nParent != y.nParent || x.dwAdded != y.dwAdded ||
                x.dwModified != y.dwModified || (!x.fFolder && x.dwVisited != y.dwVisited) ||
                !SameText(tree, x.offTitle, again, y.offTitle) ||
                !SameText(tree, x.offUrl, again, y.offUrl) ||
                !SameText(tree, x.offDescription, again, y.offDescription)) {
                std::abort();
            }
        }
    }
    BookmarkTreeFree(&again);
    BookmarkTreeFree(&tree);
    std::free(pchOut);
    return 0;
}
