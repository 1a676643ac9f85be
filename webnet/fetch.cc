// The fetch and send exports: GET and HEAD into files or memory, POST and PUT from memory or
// files. Each creates a request, attaches its output and source, and starts the load.
#include <fcntl.h>
#include <unistd.h>

#include "guard.h"
#include "request.h"
#include "state.h"

using namespace qn::webnet;

namespace {

// Creates (empties) an output file by name: -1 when it cannot be created.
int CreateOutputFile(const char* pszFileName) {
    if (pszFileName == nullptr || *pszFileName == '\0')
        return -1;
    return open(pszFileName, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

// The common path of the by-name outputs: the file is created before the URL is checked.
int LoadToFileByName(const char* url, int nMethod, long ifModifiedSince, const char* fileName,
                     QNINetCallback callback, void* userData) {
    if (!IsInitialized())
        return kErrNotInitialized;
    int fd = CreateOutputFile(fileName);
    if (fd < 0)
        return kErrFileOpen;
    HTRequest* pRequest = nullptr;
    int nResult =
        CreateRequest(url, nMethod, ifModifiedSince, callback, userData, false, &pRequest);
    if (nResult != kOk) {
        close(fd);
        return nResult;
    }
    pRequest->nOutputKind = kOutputFile;
    pRequest->fdOutput = fd;
    pRequest->fOwnOutput = true;
    return StartLoad(pRequest);
}

int LoadToHandle(const char* url, int nMethod, long ifModifiedSince, int fileHandle,
                 bool fForceBlocking, QNINetCallback callback, void* userData) {
    HTRequest* pRequest = nullptr;
    int nResult =
        CreateRequest(url, nMethod, ifModifiedSince, callback, userData, fForceBlocking, &pRequest);
    if (nResult != kOk)
        return nResult;
    if (fileHandle < 0 || lseek(fileHandle, 0, SEEK_SET) != 0) {
        DiscardRequest(pRequest);
        return kErrFileSeek;
    }
    pRequest->nOutputKind = kOutputHandle;
    pRequest->fdOutput = fileHandle;
    return StartLoad(pRequest);
}

bool SetMemoryOutput(HTRequest* pRequest, char** buffer, long bufferSize, long* length) {
    pRequest->nOutputKind = kOutputMemory;
    pRequest->ppBuffer = buffer;
    pRequest->cbBuffer = bufferSize;
    pRequest->pcbLength = length;
    return true;
}

bool SetMemorySource(HTRequest* pRequest, const char* data, long dataLength) {
    if (data == nullptr && dataLength != 0)
        return false;
    if (dataLength < 0)
        return false;
    pRequest->nSourceKind = kSourceMemory;
    // A copy: an asynchronous load may outlive the caller's block.
    pRequest->source.assign(data == nullptr ? "" : data, static_cast<size_t>(dataLength));
    pRequest->cbSource = dataLength;
    return true;
}

bool SetFileSource(HTRequest* pRequest, const char* sourceFileName) {
    if (sourceFileName == nullptr || *sourceFileName == '\0')
        return false;
    pRequest->nSourceKind = kSourceFile;
    pRequest->source = sourceFileName;
    return true;
}

}  // namespace

extern "C" QNINET_API int QNINetGetPageToFileByName(const char* url, long ifModifiedSince,
                                                    const char* fileName, QNINetCallback callback,
                                                    void* userData) {
    return Guard("QNINetGetPageToFileByName", QNINET_ERR_LOAD, [&]() -> int {
        return LoadToFileByName(url, kMethodGet, ifModifiedSince, fileName, callback, userData);
    });
}

extern "C" QNINET_API int QNINetGetPageToFileByHandle(const char* url, long ifModifiedSince,
                                                      int fileHandle, QNINetCallback callback,
                                                      void* userData) {
    return Guard("QNINetGetPageToFileByHandle", QNINET_ERR_LOAD, [&]() -> int {
        return LoadToHandle(url, kMethodGet, ifModifiedSince, fileHandle, true, callback, userData);
    });
}

extern "C" QNINET_API int QNINetGetHeadToFileByName(const char* url, const char* fileName,
                                                    QNINetCallback callback, void* userData) {
    return Guard("QNINetGetHeadToFileByName", QNINET_ERR_LOAD, [&]() -> int {
        return LoadToFileByName(url, kMethodHead, 0, fileName, callback, userData);
    });
}

extern "C" QNINET_API int QNINetGetHeadToFileByHandle(const char* url, int fileHandle,
                                                      QNINetCallback callback, void* userData) {
    return Guard("QNINetGetHeadToFileByHandle", QNINET_ERR_LOAD, [&]() -> int {
        return LoadToHandle(url, kMethodHead, 0, fileHandle, false, callback, userData);
    });
}

extern "C" QNINET_API int QNINetGetHeadToBuffer(const char* url, char** buffer, long bufferSize,
                                                long* length, QNINetCallback callback,
                                                void* userData) {
    return Guard("QNINetGetHeadToBuffer", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized())
            return kErrNotInitialized;
        if (buffer == nullptr || length == nullptr)
            return kErrBadArgs;
        *length = 0;
        HTRequest* pRequest = nullptr;
        int nResult = CreateRequest(url, kMethodHead, 0, callback, userData, false, &pRequest);
        if (nResult != kOk)
            return nResult;
        SetMemoryOutput(pRequest, buffer, bufferSize, length);
        return StartLoad(pRequest);
    });
}

extern "C" QNINET_API int QNINetPostFromBufferToBuffer(const char* url, const char* data,
                                                       long dataLength, char** buffer,
                                                       long bufferSize, long* length,
                                                       QNINetCallback callback, void* userData) {
    return Guard("QNINetPostFromBufferToBuffer", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized())
            return kErrNotInitialized;
        if (buffer == nullptr || length == nullptr)
            return kErrBadArgs;
        *length = 0;
        HTRequest* pRequest = nullptr;
        int nResult = CreateRequest(url, kMethodPost, 0, callback, userData, false, &pRequest);
        if (nResult != kOk)
            return nResult;
        SetMemoryOutput(pRequest, buffer, bufferSize, length);
        if (!SetMemorySource(pRequest, data, dataLength)) {
            DiscardRequest(pRequest);
            return kErrBadArgs;
        }
        return StartLoad(pRequest);
    });
}

extern "C" QNINET_API int QNINetPostFromFileByNameToFileByName(const char* url,
                                                               const char* sourceFileName,
                                                               const char* fileName,
                                                               QNINetCallback callback,
                                                               void* userData) {
    return Guard("QNINetPostFromFileByNameToFileByName", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized())
            return kErrNotInitialized;
        int fd = CreateOutputFile(fileName);
        if (fd < 0)
            return kErrFileOpen;
        HTRequest* pRequest = nullptr;
        int nResult = CreateRequest(url, kMethodPost, 0, callback, userData, false, &pRequest);
        if (nResult != kOk) {
            close(fd);
            return nResult;
        }
        pRequest->nOutputKind = kOutputFile;
        pRequest->fdOutput = fd;
        pRequest->fOwnOutput = true;
        if (!SetFileSource(pRequest, sourceFileName)) {
            DiscardRequest(pRequest);
            return kErrBadArgs;
        }
        return StartLoad(pRequest);
    });
}

extern "C" QNINET_API int QNINetPutFromBuffer(const char* url, const char* data, long dataLength,
                                              QNINetCallback callback, void* userData) {
    return Guard("QNINetPutFromBuffer", QNINET_ERR_LOAD, [&]() -> int {
        HTRequest* pRequest = nullptr;
        int nResult = CreateRequest(url, kMethodPut, 0, callback, userData, false, &pRequest);
        if (nResult != kOk)
            return nResult;
        pRequest->nOutputKind = kOutputDiscard;
        if (!SetMemorySource(pRequest, data, dataLength)) {
            DiscardRequest(pRequest);
            return kErrBadArgs;
        }
        return StartLoad(pRequest);
    });
}

extern "C" QNINET_API int QNINetPutFromFileByName(const char* url, const char* sourceFileName,
                                                  QNINetCallback callback, void* userData) {
    return Guard("QNINetPutFromFileByName", QNINET_ERR_LOAD, [&]() -> int {
        HTRequest* pRequest = nullptr;
        int nResult = CreateRequest(url, kMethodPut, 0, callback, userData, false, &pRequest);
        if (nResult != kOk)
            return nResult;
        pRequest->nOutputKind = kOutputDiscard;
        if (!SetFileSource(pRequest, sourceFileName)) {
            DiscardRequest(pRequest);
            return kErrBadArgs;
        }
        return StartLoad(pRequest);
    });
}
