#include "dbufiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qn::dbu {

std::string FileNamePart(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

std::string DirectoryPart(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    if (nSlash == std::string::npos) {
        return ".";
    }
    if (nSlash == 0) {
        return "/";
    }
    return strPath.substr(0, nSlash);
}

std::string ReplaceExtension(const std::string& strPath, const char* pszExtension) {
    const size_t nSlash = strPath.rfind('/');
    const size_t nNameStart = nSlash == std::string::npos ? 0 : nSlash + 1;
    const size_t nDot = strPath.rfind('.');
    std::string strBase = strPath;
    // A dot that starts the name (".hidden") is not an extension.
    if (nDot != std::string::npos && nDot > nNameStart) {
        strBase = strPath.substr(0, nDot);
    }
    return strBase + "." + pszExtension;
}

PathKind KindOf(const std::string& strPath) {
    struct stat st {};
    if (strPath.empty() || ::stat(strPath.c_str(), &st) != 0) {
        return PathKind::Missing;
    }
    if (S_ISREG(st.st_mode)) {
        return PathKind::File;
    }
    if (S_ISDIR(st.st_mode)) {
        return PathKind::Directory;
    }
    return PathKind::Other;
}

bool SameFile(const std::string& strA, const std::string& strB) {
    struct stat a {};
    struct stat b {};
    if (::stat(strA.c_str(), &a) != 0 || ::stat(strB.c_str(), &b) != 0) {
        return false;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool SyncFile(const std::string& strPath) {
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool fOk = ::fsync(fd) == 0;
    ::close(fd);
    return fOk;
}

bool SyncDirectory(const std::string& strPath) {
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool fOk = ::fsync(fd) == 0;
    ::close(fd);
    return fOk;
}

std::string TemporaryNameBeside(const std::string& strPath, const char* pszTag) {
    const std::string strDir = DirectoryPart(strPath);
    char szSuffix[64];
    std::snprintf(szSuffix, sizeof szSuffix, ".%s-%ld", pszTag, static_cast<long>(::getpid()));
    return strDir + "/." + FileNamePart(strPath) + szSuffix;
}

bool CopyFileAtomically(const std::string& strFrom, const std::string& strTo) {
    const int fdIn = ::open(strFrom.c_str(), O_RDONLY | O_CLOEXEC);
    if (fdIn < 0) {
        return false;
    }
    const std::string strTemp = TemporaryNameBeside(strTo, "copy");
    const int fdOut = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fdOut < 0) {
        const int nErr = errno;
        ::close(fdIn);
        errno = nErr;
        return false;
    }
    bool fOk = true;
    char buffer[65536];
    for (;;) {
        const ssize_t cbRead = ::read(fdIn, buffer, sizeof buffer);
        if (cbRead < 0 && errno == EINTR) {
            continue;
        }
        if (cbRead <= 0) {
            fOk = cbRead == 0;
            break;
        }
        ssize_t cbDone = 0;
        while (fOk && cbDone < cbRead) {
            const ssize_t cbWritten = ::write(fdOut, buffer + cbDone, cbRead - cbDone);
            if (cbWritten < 0 && errno == EINTR) {
                continue;
            }
            if (cbWritten <= 0) {
                fOk = false;
                break;
            }
            cbDone += cbWritten;
        }
        if (!fOk) {
            break;
        }
    }
    int nErr = errno;
    if (fOk && ::fsync(fdOut) != 0) {
        fOk = false;
        nErr = errno;
    }
    ::close(fdIn);
    if (::close(fdOut) != 0 && fOk) {
        fOk = false;
        nErr = errno;
    }
    if (fOk && ::rename(strTemp.c_str(), strTo.c_str()) != 0) {
        fOk = false;
        nErr = errno;
    }
    if (!fOk) {
        ::unlink(strTemp.c_str());
        errno = nErr;
        return false;
    }
    SyncDirectory(DirectoryPart(strTo));
    return true;
}

}  // namespace qn::dbu
