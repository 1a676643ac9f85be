#include "foundation/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/qnstatus.h"
#include "foundation/syslog.h"

namespace {

constexpr const char* kModule = "QNFILE";

void CopyToBuffer(char* pchTarget, size_t cchTarget, const std::string& str) {
    size_t cch = str.size() < cchTarget - 1 ? str.size() : cchTarget - 1;
    memcpy(pchTarget, str.data(), cch);
    pchTarget[cch] = '\0';
}

const char* NamePartOf(const char* pszPath) {
    const char* pch = strrchr(pszPath, '/');
    return pch ? pch + 1 : pszPath;
}

uint8_t AttributesOf(const char* pszPath, const struct stat& st) {
    uint8_t attrib = 0;
    if (S_ISDIR(st.st_mode)) {
        attrib |= QN_A_SUBDIR;
    } else if (S_ISREG(st.st_mode)) {
        attrib |= QN_A_ARCH;
    } else {
        attrib |= QN_A_SYSTEM;
    }
    const char* pszName = NamePartOf(pszPath);
    if (pszName[0] == '.' && strcmp(pszName, ".") != 0 && strcmp(pszName, "..") != 0) {
        attrib |= QN_A_HIDDEN;
    }
    // Whether this process may write it, judged by its effective rights.
    if (faccessat(AT_FDCWD, pszPath, W_OK, AT_EACCESS) != 0 && errno != ENOENT)
        attrib |= QN_A_RDONLY;
    return attrib;
}

bool StatEntry(const char* pszPath, struct stat* pst) {
    // A dangling symbolic link is still an entry.
    return stat(pszPath, pst) == 0 || lstat(pszPath, pst) == 0;
}

struct SearchState {
    DIR* pDir = nullptr;
    std::string strDirectory;
    std::string strPattern;
    unsigned uAttrib = 0;
};

bool Matches(const SearchState& search, const char* pszName) {
    if (search.strPattern == "*.*" || search.strPattern == "*")
        return true;
    return fnmatch(search.strPattern.c_str(), pszName, 0) == 0;
}

bool Wanted(unsigned uMask, uint8_t attrib) {
    if (uMask == 0)
        return (attrib & QN_A_SUBDIR) == 0;
    return (attrib & uMask) != 0;
}

}  // namespace

// ---- Directory search ---------------------------------------------------------------------------

void QNTimeToDosDateTime(time_t t, uint16_t* pwDate, uint16_t* pwTime) {
    struct tm tmLocal;
    if (localtime_r(&t, &tmLocal) == nullptr || tmLocal.tm_year < 80) {
        *pwDate = 0x21;
        *pwTime = 0;
        return;
    }
    int nYear = tmLocal.tm_year - 80;
    if (nYear > 127)
        nYear = 127;
    *pwDate = static_cast<uint16_t>(tmLocal.tm_mday + 32 * (tmLocal.tm_mon + 1) + 512 * nYear);
    *pwTime =
        static_cast<uint16_t>(tmLocal.tm_hour * 2048 + tmLocal.tm_min * 32 + tmLocal.tm_sec / 2);
}

time_t QNDosDateTimeToTime(uint16_t wDate, uint16_t wTime) {
    struct tm tmLocal;
    memset(&tmLocal, 0, sizeof tmLocal);
    tmLocal.tm_mday = wDate & 0x1F;
    tmLocal.tm_mon = ((wDate >> 5) & 0x0F) - 1;
    tmLocal.tm_year = (wDate >> 9) + 80;
    tmLocal.tm_hour = wTime >> 11;
    tmLocal.tm_min = (wTime >> 5) & 0x3F;
    tmLocal.tm_sec = (wTime & 0x1F) * 2;
    tmLocal.tm_isdst = -1;
    return mktime(&tmLocal);
}

unsigned QNFindNext(QN_FIND_T* pFind) {
    if (pFind == nullptr || pFind->hSearch == nullptr)
        return QN_FIND_NO_MORE_FILES;
    auto* pSearch = static_cast<SearchState*>(pFind->hSearch);
    for (;;) {
        errno = 0;
        struct dirent* pEntry = readdir(pSearch->pDir);
        if (pEntry == nullptr) {
            QNFindClose(pFind);
            return QN_FIND_NO_MORE_FILES;
        }
        if (!Matches(*pSearch, pEntry->d_name))
            continue;
        std::string strPath = pSearch->strDirectory + "/" + pEntry->d_name;
        struct stat st;
        if (!StatEntry(strPath.c_str(), &st))
            continue;
        uint8_t attrib = AttributesOf(strPath.c_str(), st);
        if (!Wanted(pSearch->uAttrib, attrib))
            continue;
        pFind->attrib = attrib;
        pFind->size = static_cast<uint64_t>(st.st_size);
        QNTimeToDosDateTime(st.st_mtime, &pFind->wr_date, &pFind->wr_time);
        CopyToBuffer(pFind->name, sizeof pFind->name, pEntry->d_name);
        return QN_FIND_OK;
    }
}

unsigned QNFindFirst(const char* pszPattern, unsigned uAttrib, QN_FIND_T* pFind) {
    if (pFind == nullptr)
        return QN_FIND_NO_MORE_FILES;
    pFind->hSearch = nullptr;
    if (pszPattern == nullptr || *pszPattern == '\0' || strlen(pszPattern) >= QN_MAX_PATH) {
        return QN_FIND_NO_MORE_FILES;
    }
    auto* pSearch = new SearchState;
    const char* pchSlash = strrchr(pszPattern, '/');
    if (pchSlash == nullptr) {
        pSearch->strDirectory.assign(1, '.');
        pSearch->strPattern = pszPattern;
    } else {
        pSearch->strDirectory =
            pchSlash == pszPattern ? std::string("/") : std::string(pszPattern, pchSlash);
        pSearch->strPattern = pchSlash + 1;
    }
    if (pSearch->strPattern.empty())
        pSearch->strPattern.assign(1, '*');
    pSearch->uAttrib = uAttrib;
    pSearch->pDir = opendir(pSearch->strDirectory.c_str());
    if (pSearch->pDir == nullptr) {
        delete pSearch;
        return QN_FIND_NO_MORE_FILES;
    }
    pFind->hSearch = pSearch;
    return QNFindNext(pFind);
}

void QNFindClose(QN_FIND_T* pFind) {
    if (pFind == nullptr || pFind->hSearch == nullptr)
        return;
    auto* pSearch = static_cast<SearchState*>(pFind->hSearch);
    if (pSearch->pDir != nullptr)
        closedir(pSearch->pDir);
    delete pSearch;
    pFind->hSearch = nullptr;
}

// ---- CQNFile ------------------------------------------------------------------------------------

bool CQNFile::MakeAbsolute(const char* pszPath, std::string* pstrFull) {
    pstrFull->clear();
    if (pszPath == nullptr || *pszPath == '\0' || strlen(pszPath) >= QN_MAX_PATH)
        return false;
    std::string strPath;
    if (pszPath[0] != '/') {
        char szCwd[QN_MAX_PATH];
        if (getcwd(szCwd, sizeof szCwd) == nullptr)
            return false;
        strPath = std::string(szCwd) + "/" + pszPath;
    } else {
        strPath = pszPath;
    }
    bool fTrailingSlash = strPath.size() > 1 && strPath.back() == '/';
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= strPath.size()) {
        size_t next = strPath.find('/', pos);
        if (next == std::string::npos)
            next = strPath.size();
        std::string part = strPath.substr(pos, next - pos);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = next + 1;
    }
    std::string strFull;
    for (const auto& part : parts)
        strFull += "/" + part;
    if (strFull.empty() || fTrailingSlash)
        strFull += "/";
    if (strFull.size() >= QN_MAX_PATH)
        return false;
    *pstrFull = std::move(strFull);
    return true;
}

bool CQNFile::LookupStatus(const char* pszPath, FileStatus* pStatus) {
    std::string strFull;
    if (!MakeAbsolute(pszPath, &strFull))
        return false;
    CopyToBuffer(pStatus->m_szFullName, sizeof pStatus->m_szFullName, strFull);
    struct stat st;
    if (!StatEntry(strFull.c_str(), &st))
        return false;
    // All three times are the last write, as the directory search reports it.
    pStatus->m_ctime = st.st_mtime;
    pStatus->m_mtime = st.st_mtime;
    pStatus->m_atime = st.st_mtime;
    pStatus->m_size = static_cast<uint64_t>(st.st_size);
    pStatus->m_attribute = AttributesOf(strFull.c_str(), st);
    return true;
}

void CQNFile::SetPointers() {
    char* pszFull = m_Status.m_szFullName;
    m_pchLastSlash = strrchr(pszFull, '/');
    const char* pszName = m_pchLastSlash ? m_pchLastSlash + 1 : pszFull;
    m_pchLastDot = strrchr(const_cast<char*>(pszName), '.');
}

void CQNFile::SetPath(const char* pszPath) {
    m_Status = FileStatus();
    if (pszPath != nullptr && *pszPath != '\0' && !LookupStatus(pszPath, &m_Status)) {
        // Not found: the snapshot is empty but the full name stays absolute (or empty).
        std::string strFull;
        MakeAbsolute(pszPath, &strFull);
        m_Status = FileStatus();
        CopyToBuffer(m_Status.m_szFullName, sizeof m_Status.m_szFullName, strFull);
    }
    SetPointers();
}

CQNFile::CQNFile(const char* pszPath) {
    QNEntryTrace("CQNFile::CQNFile(const char*)");
    SetPath(pszPath);
}

CQNFile::CQNFile(const char* pszPath, unsigned nOpenFlags, CQNStatus& status) {
    QNEntryTrace("CQNFile::CQNFile(PCSZ,UINT,CQNStatus&)");
    int nError = 0;
    if (!Open(pszPath, nOpenFlags, &nError)) {
        status.PushCondition(new CQNMessageCondition(static_cast<uint32_t>(nError), pszPath));
        SetPath(pszPath);
        return;
    }
    SetPath(pszPath);
}

CQNFile::CQNFile(const char* pszDirectory, const QN_FIND_T* pFind) {
    QNEntryTrace("CQNFile::CQNFile(const char*,const struct _find_t*)");
    std::string strDirectory = pszDirectory ? pszDirectory : "";
    if (pFind != nullptr) {
        // The found name is kept as it is (also "." and "..").
        std::string strFull;
        MakeAbsolute(strDirectory.empty() ? "." : strDirectory.c_str(), &strFull);
        if (!strFull.empty() && strFull.back() != '/')
            strFull += "/";
        strFull += pFind->name;
        if (strFull.size() >= QN_MAX_PATH)
            strFull.clear();
        CopyToBuffer(m_Status.m_szFullName, sizeof m_Status.m_szFullName, strFull);
        m_Status.m_mtime = QNDosDateTimeToTime(pFind->wr_date, pFind->wr_time);
        m_Status.m_ctime = m_Status.m_mtime;
        m_Status.m_atime = m_Status.m_mtime;
        m_Status.m_size = pFind->size;
        m_Status.m_attribute = pFind->attrib;
        SetPointers();
        return;
    }
    // A volume: the path as it is; its first '/' separates directory and name.
    CopyToBuffer(m_Status.m_szFullName, sizeof m_Status.m_szFullName, strDirectory);
    m_Status.m_attribute = QN_A_VOLID;
    struct statvfs vfs;
    if (!strDirectory.empty() && statvfs(strDirectory.c_str(), &vfs) == 0 &&
        (vfs.f_flag & ST_RDONLY)) {
        m_Status.m_attribute |= QN_A_RDONLY;
    }
    m_pchLastSlash = strchr(m_Status.m_szFullName, '/');
    const char* pszName = m_pchLastSlash ? m_pchLastSlash + 1 : m_Status.m_szFullName;
    m_pchLastDot = strrchr(const_cast<char*>(pszName), '.');
}

CQNFile::~CQNFile() {
    QNEntryTrace("CQNFile::~CQNFile()");
    Close();
}

CQNFile& CQNFile::operator=(const char* pszPath) {
    QNEntryTrace("CQNFile::operator=(PCSZ)");
    QNASSERT(m_hFile == hFileNull, kModule);
    Close();
    SetPath(pszPath);
    return *this;
}

bool CQNFile::Open(const char* pszPath, unsigned nOpenFlags, int* pnError) {
    Close();  // failures while closing are ignored
    if (pszPath == nullptr || *pszPath == '\0') {
        if (pnError)
            *pnError = ENOENT;
        errno = ENOENT;
        return false;
    }
    if (strlen(pszPath) >= QN_MAX_PATH) {
        if (pnError)
            *pnError = ENAMETOOLONG;
        errno = ENAMETOOLONG;
        return false;
    }
    int flags = O_CLOEXEC;
    switch (nOpenFlags & 0x3u) {
        case modeWrite:
            flags |= O_WRONLY;
            break;
        case modeReadWrite:
            flags |= O_RDWR;
            break;
        default:
            flags |= O_RDONLY;
            break;
    }
    if (nOpenFlags & modeCreate) {
        flags |= O_CREAT;
        if (!(nOpenFlags & modeNoTruncate))
            flags |= O_TRUNC;
    }
    int fd;
    do {
        fd = open(pszPath, flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (pnError)
            *pnError = errno;
        return false;
    }
    m_hFile = fd;
    if (pnError)
        *pnError = 0;
    return true;
}

void CQNFile::Close() {
    if (m_hFile != hFileNull) {
        close(m_hFile);
        m_hFile = hFileNull;
    }
}

ssize_t CQNFile::Read(void* pvBuffer, size_t cb) {
    if (m_hFile == hFileNull)
        return -1;
    ssize_t cbRead;
    do {
        cbRead = read(m_hFile, pvBuffer, cb);
    } while (cbRead < 0 && errno == EINTR);
    return cbRead;
}

bool CQNFile::Write(const void* pvBuffer, size_t cb) {
    if (m_hFile == hFileNull)
        return false;
    const char* pch = static_cast<const char*>(pvBuffer);
    while (cb > 0) {
        ssize_t cbWritten = write(m_hFile, pch, cb);
        if (cbWritten < 0 && errno == EINTR)
            continue;
        if (cbWritten <= 0)
            return false;
        pch += cbWritten;
        cb -= static_cast<size_t>(cbWritten);
    }
    return true;
}

off_t CQNFile::Seek(off_t offset, SeekPosition from) {
    if (m_hFile == hFileNull)
        return -1;
    int whence = from == begin ? SEEK_SET : from == current ? SEEK_CUR : SEEK_END;
    return lseek(m_hFile, offset, whence);
}

off_t CQNFile::GetLength() const {
    struct stat st;
    if (m_hFile == hFileNull || fstat(m_hFile, &st) != 0)
        return -1;
    return st.st_size;
}

const char* CQNFile::FullName() {
    if (m_pchLastSlash != nullptr && *m_pchLastSlash == '\0')
        *m_pchLastSlash = '/';
    return m_Status.m_szFullName;
}

const char* CQNFile::Directory() {
    if (m_pchLastSlash == nullptr)
        return "";
    // A name in the root keeps "/" as its directory (the root's '/' cannot be cut off).
    if (m_pchLastSlash == m_Status.m_szFullName)
        return "/";
    *m_pchLastSlash = '\0';
    return m_Status.m_szFullName;
}

const char* CQNFile::Name() const {
    return m_pchLastSlash ? m_pchLastSlash + 1 : m_Status.m_szFullName;
}

const char* CQNFile::Extension() const {
    return m_pchLastDot ? m_pchLastDot + 1 : "";
}

const char* CQNFile::DisplayName() {
    if (!m_strDisplayName.empty())
        return m_strDisplayName.c_str();
    if (*Name() != '\0')
        return Name();
    return FullName();
}

void CQNFile::SetDisplayName(const char* pszName) {
    m_strDisplayName = pszName ? pszName : "";
}

std::string CQNFile::WholeName() const {
    // While the directory view is out, the last '/' is a NUL: the name goes on after it.
    std::string strFull = m_Status.m_szFullName;
    if (m_pchLastSlash != nullptr && *m_pchLastSlash == '\0')
        strFull += std::string("/") + (m_pchLastSlash + 1);
    return strFull;
}

bool CQNFile::Exists() const {
    if (m_Status.m_szFullName[0] == '\0')
        return false;
    std::string strFull = WholeName();
    struct stat st;
    return StatEntry(strFull.c_str(), &st);
}

bool CQNFile::MakePath(const char* pszDrive, const char* pszDirectory, const char* pszName,
                       const char* pszExtension) {
    (void)pszDrive;  // no drive letters on this platform
    std::string strPath = pszDirectory ? pszDirectory : "";
    if (!strPath.empty() && strPath.back() != '/')
        strPath += "/";
    strPath += pszName ? pszName : "";
    if (pszExtension != nullptr && *pszExtension != '\0') {
        if (*pszExtension != '.')
            strPath += ".";
        strPath += pszExtension;
    }
    *this = strPath.c_str();
    return m_Status.m_szFullName[0] != '\0';
}

void CQNFile::SplitPath(std::string* pstrDrive, std::string* pstrDirectory, std::string* pstrName,
                        std::string* pstrExtension) {
    std::string strFull = FullName();
    size_t posSlash = strFull.rfind('/');
    std::string strDirectory = posSlash == std::string::npos ? "" : strFull.substr(0, posSlash + 1);
    std::string strName = posSlash == std::string::npos ? strFull : strFull.substr(posSlash + 1);
    size_t posDot = strName.rfind('.');
    std::string strExtension;
    if (posDot != std::string::npos) {
        strExtension = strName.substr(posDot);
        strName.resize(posDot);
    }
    if (pstrDrive)
        pstrDrive->clear();
    if (pstrDirectory)
        *pstrDirectory = strDirectory;
    if (pstrName)
        *pstrName = strName;
    if (pstrExtension)
        *pstrExtension = strExtension;
}

unsigned CQNFile::DriveType() const {
    if (m_Status.m_szFullName[0] == '\0')
        return 0;
    std::string strFull = WholeName();
    // The nearest existing folder decides.
    struct statfs fs;
    while (statfs(strFull.c_str(), &fs) != 0) {
        size_t pos = strFull.rfind('/');
        if (pos == std::string::npos || strFull == "/")
            return 1;
        strFull = pos == 0 ? "/" : strFull.substr(0, pos);
    }
    switch (static_cast<unsigned long>(fs.f_type)) {
        case NFS_SUPER_MAGIC:
        case SMB_SUPER_MAGIC:
        case 0xFF534D42UL:  // CIFS
        case 0xFE534D42UL:  // SMB2
            return 4;
        case ISOFS_SUPER_MAGIC:
            return 5;
        case TMPFS_MAGIC:
        case RAMFS_MAGIC:
            return 6;
        default:
            return 3;
    }
}

bool CQNFile::IsDotOrDotDot() const {
    if (!IsDirectory())
        return false;
    const char* pszName = Name();
    return strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0;
}

bool CQNFile::Refresh() {
    std::string strFull = FullName();
    FileStatus status;
    if (!LookupStatus(strFull.c_str(), &status))
        return false;
    m_Status = status;
    SetPointers();
    return true;
}
