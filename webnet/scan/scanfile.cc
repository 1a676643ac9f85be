// The page-scanning exports and the block reader under every scan.
#include "scanfile.h"
#include "guard.h"

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "scanner.h"
#include "sgml.h"
#include "state.h"

namespace qn::webnet::scan {
namespace {

std::mutex g_hookMutex;
QNINetScanHook g_pfnHook = nullptr;
void* g_pHookData = nullptr;

[[noreturn]] void OutOfMemory(const char* pszFunction) {
    std::fprintf(stderr, "%s %s: out of memory.\nProgram aborted.\n", "SCANBACK", pszFunction);
    std::abort();
}

ssize_t ReadSome(int fd, char* pch, size_t cch) {
    for (;;) {
        ssize_t n = ::read(fd, pch, cch);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n;
    }
}

struct TitleSearch {
    bool fFound = false;
    std::string strTitle;
};

int TitleRoutine(ScanElement* element, void* userData) {
    auto* search = static_cast<TitleSearch*>(userData);
    if (element->kind == QNINET_SCAN_CONTAINER && element->name != nullptr &&
        std::strcmp(element->name, "TITLE") == 0) {
        search->fFound = true;
        search->strTitle = element->text != nullptr ? element->text : "";
        return 0;
    }
    return 1;
}

int TitleToBuffer(int rc, const std::string& strTitle, int size, char* buffer) {
    if (rc != kOk) {
        return rc;
    }
    if (size <= 0 || strTitle.size() + 1 > static_cast<size_t>(size)) {
        return kErrBufferTooSmall;
    }
    std::memcpy(buffer, strTitle.c_str(), strTitle.size() + 1);
    return kOk;
}

}  // namespace

namespace {
int ScanDescriptorOrThrow(int fd, QNINetScanRoutine routine, void* userData);
}  // namespace

int ScanDescriptor(int fd, QNINetScanRoutine routine, void* userData) {
    if (routine == nullptr) {
        return kErrNoRoutine;
    }
    try {
        return ScanDescriptorOrThrow(fd, routine, userData);
    } catch (const std::bad_alloc&) {
        OutOfMemory("ParsePage:CopyAVPairs");  // the texts and attribute copies of records
    }
}

namespace {

int ScanDescriptorOrThrow(int fd, QNINetScanRoutine routine, void* userData) {
    std::unique_ptr<PageScanner> scanner(new (std::nothrow) PageScanner(routine, userData));
    if (!scanner) {
        OutOfMemory("ParsePage:new");
    }
    std::unique_ptr<SgmlParser> parser(new (std::nothrow) SgmlParser(*scanner));
    if (!parser) {
        return kErrNoScanner;
    }
    int* pfContinue = scanner->ContinueFlag();
    parser->SetContinueFlag(pfContinue);

    // Only a regular file has a size to read; a device such as /dev/zero would be read
    // without end.
    struct stat st;
    if (::lseek(fd, 0, SEEK_SET) < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return kErrFileSeek;
    }
    QNINetScanHook pfnHook;
    void* pHookData;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        pfnHook = g_pfnHook;
        pHookData = g_pHookData;
    }
    bool fReadFailed = false;
    size_t cbBlock =
        st.st_size > 0 ? static_cast<size_t>(std::min<off_t>(st.st_size, kScanBlock)) : 0;
    if (cbBlock > 0) {
        std::unique_ptr<char[]> block(new (std::nothrow) char[cbBlock]);
        if (!block) {
            OutOfMemory("ParsePage:block");
        }
        for (;;) {
            ssize_t n = ReadSome(fd, block.get(), cbBlock);
            if (n < 0 && *pfContinue != 0) {
                fReadFailed = true;  // e.g. a descriptor open for writing only
            }
            if (n <= 0) {
                break;  // the end, or a file that shrank
            }
            // Once the routine said stop, the rest is read but not fed.
            size_t cb = static_cast<size_t>(n);
            if (pfnHook == nullptr) {
                if (*pfContinue != 0) {
                    parser->Feed(block.get(), cb);
                }
                continue;
            }
            for (size_t i = 0; i < cb && *pfContinue != 0; i += kHookInterval) {
                if (pfnHook(pHookData) == 0) {
                    *pfContinue = 0;
                    break;
                }
                parser->Feed(block.get() + i, std::min(kHookInterval, cb - i));
            }
        }
    } else {
        // Nothing to size a block by (an empty file, or one that reports no size): one byte
        // at a time.
        char ch;
        ssize_t n = 0;
        while (*pfContinue != 0 && (n = ReadSome(fd, &ch, 1)) == 1) {
            parser->Feed(&ch, 1);
        }
        fReadFailed = *pfContinue != 0 && n < 0;
        if (pfnHook != nullptr && *pfContinue != 0 && pfnHook(pHookData) == 0) {
            *pfContinue = 0;
        }
    }
    parser->Finish();
    scanner->Finish();
    // A file that could not be read to its end was not scanned: not a success.
    return fReadFailed ? kErrFileSeek : kOk;
}

}  // namespace

int ScanTitle(int fd, std::string* pstrTitle) {
    TitleSearch search;
    int rc = ScanDescriptor(fd, TitleRoutine, &search);
    if (rc != kOk) {
        return rc;
    }
    if (!search.fFound || search.strTitle.empty()) {
        return kErrNoTitle;
    }
    *pstrTitle = std::move(search.strTitle);
    return kOk;
}

int OpenForScan(const char* pszFileName) {
    if (pszFileName == nullptr) {
        return -1;
    }
    // Opened without waiting, so that a named pipe without a writer does not block the open;
    // only regular files are pages.
    int fd;
    do {
        fd = ::open(pszFileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return fd;
}

}  // namespace qn::webnet::scan

using namespace qn::webnet;
using namespace qn::webnet::scan;

extern "C" QNINET_API QNINetScanHook QNINetSetScanHook(QNINetScanHook hook, void* hookData) {
    return Guard("QNINetSetScanHook", static_cast<QNINetScanHook>(nullptr),
                 [&]() -> QNINetScanHook {
                     std::lock_guard<std::mutex> lock(g_hookMutex);
                     QNINetScanHook pfnPrevious = g_pfnHook;
                     g_pfnHook = hook;
                     g_pHookData = hookData;
                     return pfnPrevious;
                 });
}

extern "C" QNINET_API int QNINetScanPageFromFileByName(const char* fileName,
                                                       QNINetScanRoutine routine, void* userData) {
    return Guard("QNINetScanPageFromFileByName", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized()) {
            return kErrNotInitialized;
        }
        int fd = OpenForScan(fileName);
        if (fd < 0) {
            return kErrFileOpen;
        }
        int rc = ScanDescriptor(fd, routine, userData);
        ::close(fd);
        return rc;
    });
}

extern "C" QNINET_API int QNINetScanPageFromFileByHandle(int file, QNINetScanRoutine routine,
                                                         void* userData) {
    return Guard("QNINetScanPageFromFileByHandle", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized()) {
            return kErrNotInitialized;
        }
        return ScanDescriptor(file, routine, userData);
    });
}

extern "C" QNINET_API const char* QNINetScanAttribute(const char* name, int count,
                                                      const ScanAttribute attributes[]) {
    return Guard("QNINetScanAttribute", static_cast<const char*>(nullptr), [&]() -> const char* {
        if (name == nullptr || attributes == nullptr) {
            return nullptr;
        }
        for (int i = 0; i < count; ++i) {
            if (attributes[i].name != nullptr && ::strcasecmp(attributes[i].name, name) == 0) {
                return attributes[i].value;
            }
        }
        return nullptr;
    });
}

extern "C" QNINET_API int QNINetScanForTitleFromFileByName(const char* fileName, int size,
                                                           char* buffer) {
    return Guard("QNINetScanForTitleFromFileByName", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized()) {
            return kErrNotInitialized;
        }
        if (buffer == nullptr) {
            return kErrBadArgs;
        }
        int fd = OpenForScan(fileName);
        if (fd < 0) {
            return kErrFileOpen;
        }
        std::string strTitle;
        int rc = ScanTitle(fd, &strTitle);
        ::close(fd);
        return TitleToBuffer(rc, strTitle, size, buffer);
    });
}

extern "C" QNINET_API int QNINetScanForTitleFromFileByHandle(int file, int size, char* buffer) {
    return Guard("QNINetScanForTitleFromFileByHandle", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized()) {
            return kErrNotInitialized;
        }
        if (buffer == nullptr) {
            return kErrBadArgs;
        }
        std::string strTitle;
        int rc = ScanTitle(file, &strTitle);
        return TitleToBuffer(rc, strTitle, size, buffer);
    });
}
