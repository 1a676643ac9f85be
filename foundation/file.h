// CQNFile: a file object with a normalised absolute path and a snapshot of the file's directory
// entry (times, size, attributes).
//
// Paths are POSIX paths: '/' separates names, there are no drive letters, and names keep their
// letter case. The full name is absolute and normalised ("." and ".." resolved, repeated '/'
// folded; symbolic links are not resolved).
//
// The directory view and the full-name view share one buffer: Directory() writes a NUL over the
// last '/' and returns the buffer; FullName() writes the '/' back. A directory string obtained
// earlier therefore reads as the full name once FullName() is called, and the other way round.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

class CQNStatus;

// Attribute bits of a directory entry.
inline constexpr uint8_t QN_A_NORMAL = 0x00;
inline constexpr uint8_t QN_A_RDONLY = 0x01;
inline constexpr uint8_t QN_A_HIDDEN = 0x02;  // name starts with '.'
inline constexpr uint8_t QN_A_SYSTEM = 0x04;  // neither a regular file nor a directory
inline constexpr uint8_t QN_A_VOLID = 0x08;
inline constexpr uint8_t QN_A_SUBDIR = 0x10;
inline constexpr uint8_t QN_A_ARCH = 0x20;  // a regular file
// The mask the status lookup searches with: read-only, hidden, system, directory, archive.
inline constexpr unsigned QN_A_LOOKUP_MASK = 0x37;

// Longest full name, including the NUL.
inline constexpr size_t QN_MAX_PATH = 4096;
// Longest name of one directory entry, including the NUL.
inline constexpr size_t QN_MAX_FNAME = 256;

// Search statuses.
inline constexpr unsigned QN_FIND_OK = 0;
inline constexpr unsigned QN_FIND_NO_MORE_FILES = 18;
inline constexpr unsigned QN_FIND_PATH_NOT_FOUND = 3;

// One directory-search result. hSearch belongs to the search; QNFindNext and QNFindClose use it.
struct QN_FIND_T {
    uint8_t attrib = 0;
    uint16_t wr_time = 0;  // DOS time: hour * 2048 + minute * 32 + second / 2
    uint16_t wr_date = 0;  // DOS date: day + 32 * month + 512 * (year - 1980); 0x21 before 1980
    uint64_t size = 0;
    char name[QN_MAX_FNAME] = {};
    void* hSearch = nullptr;
};

// Directory search. pszPattern is a directory followed by '/' and a name pattern ('*' and '?'
// wildcards; "*.*" matches every name), or the path of one entry. Only entries whose attributes
// share a bit with uAttrib are reported (0 means every entry but directories). Returns
// QN_FIND_OK with the first entry, or QN_FIND_NO_MORE_FILES (18) when nothing matches (the search
// is then closed). A search left before its end must be closed with QNFindClose.
unsigned QNFindFirst(const char* pszPattern, unsigned uAttrib, QN_FIND_T* pFind);
unsigned QNFindNext(QN_FIND_T* pFind);
void QNFindClose(QN_FIND_T* pFind);
// The DOS date and time of a time value (local time); dates before 1980 give 0x21 and 0.
void QNTimeToDosDateTime(time_t t, uint16_t* pwDate, uint16_t* pwTime);
time_t QNDosDateTimeToTime(uint16_t wDate, uint16_t wTime);

class CQNFile {
  public:
    // Open flags (the values of the framework's file class).
    enum OpenFlags : unsigned {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000,
    };
    enum SeekPosition { begin = 0, current = 1, end = 2 };
    static constexpr int hFileNull = -1;

    // From a path (null or empty: no full name). When the entry cannot be looked up the full name
    // is still made absolute; a path that cannot be (too long) leaves it empty.
    explicit CQNFile(const char* pszPath = nullptr);
    // Opens pszPath with nOpenFlags; a failure becomes a message condition (the system error
    // number and the path) pushed on status, and the object stays unopened.
    CQNFile(const char* pszPath, unsigned nOpenFlags, CQNStatus& status);
    // From a directory and a search result: the full name is the directory followed by the found
    // name; times, size and attributes come from the search result. Without a search result the
    // object describes a volume: the path is kept as it is, its first '/' separates directory and
    // name, and the attribute is 0x08 (plus 0x01 on a read-only file system).
    CQNFile(const char* pszDirectory, const QN_FIND_T* pFind);
    virtual ~CQNFile();
    CQNFile(const CQNFile&) = delete;
    CQNFile& operator=(const CQNFile&) = delete;

    // A file still open is an assertion failure ("m_hFile == hFileNull", QNFILE) and is closed;
    // then as construction from a path.
    CQNFile& operator=(const char* pszPath);

    // ---- The framework's file operations ----
    // Opens (closing a file that is open first, ignoring its failure). False with errno set.
    bool Open(const char* pszPath, unsigned nOpenFlags, int* pnError = nullptr);
    void Close();
    bool IsOpen() const { return m_hFile != hFileNull; }
    int Handle() const { return m_hFile; }
    // Bytes read (0 at the end), or -1 on failure.
    ssize_t Read(void* pvBuffer, size_t cb);
    // True when every byte was written.
    bool Write(const void* pvBuffer, size_t cb);
    // New position, or -1.
    off_t Seek(off_t offset, SeekPosition from);
    off_t GetLength() const;

    // ---- Names ----
    // The absolute full name ("" when there is none).
    const char* FullName();
    // The full name up to the last '/' ("/" for a file in the root; see the shared buffer).
    const char* Directory();
    // After the last '/'.
    const char* Name() const;
    // After the last '.' of the name part; "" when there is none.
    const char* Extension() const;
    // The override when set, else the name part, else (a root) the full name.
    const char* DisplayName();
    void SetDisplayName(const char* pszName);

    // True when the full name is not empty and the entry can be accessed.
    bool Exists() const;
    // Builds "<directory>/<name>.<extension>" (the drive is ignored: no drive letters here),
    // normalises it as construction does, and makes it this object's path.
    bool MakePath(const char* pszDrive, const char* pszDirectory, const char* pszName,
                  const char* pszExtension);
    // Splits the full name: drive always "", directory with its trailing '/', name without the
    // extension, extension with its '.'.
    void SplitPath(std::string* pstrDrive, std::string* pstrDirectory, std::string* pstrName,
                   std::string* pstrExtension);
    // The kind of store that holds the full name: 0 unknown (no full name), 1 no such path,
    // 2 removable, 3 fixed, 4 remote, 5 CD-ROM, 6 RAM disk.
    unsigned DriveType() const;

    // ---- Entry snapshot ----
    uint8_t Attributes() const { return m_Status.m_attribute; }
    bool IsDirectory() const { return (m_Status.m_attribute & QN_A_SUBDIR) != 0; }
    bool IsHidden() const { return (m_Status.m_attribute & QN_A_HIDDEN) != 0; }
    bool IsReadOnly() const { return (m_Status.m_attribute & QN_A_RDONLY) != 0; }
    bool IsSystem() const { return (m_Status.m_attribute & QN_A_SYSTEM) != 0; }
    bool IsVolumeLabel() const { return (m_Status.m_attribute & QN_A_VOLID) != 0; }
    // A directory whose name part is "." or "..".
    bool IsDotOrDotDot() const;
    time_t CreationTime() const { return m_Status.m_ctime; }
    time_t ModificationTime() const { return m_Status.m_mtime; }
    time_t AccessTime() const { return m_Status.m_atime; }
    uint64_t Size() const { return m_Status.m_size; }
    // Re-reads the snapshot of the entry; false when it cannot be found.
    bool Refresh();

    // The absolute, normalised form of a path relative to the working directory; false when the
    // result would not fit in QN_MAX_PATH or the working directory is unknown.
    static bool MakeAbsolute(const char* pszPath, std::string* pstrFull);

  private:
    struct FileStatus {
        time_t m_ctime = 0;
        time_t m_mtime = 0;
        time_t m_atime = 0;
        uint64_t m_size = 0;
        uint8_t m_attribute = 0;
        char m_szFullName[QN_MAX_PATH] = {};
    };

    void SetPath(const char* pszPath);
    void SetPointers();
    // The full name whatever view of the shared buffer is out.
    std::string WholeName() const;
    static bool LookupStatus(const char* pszPath, FileStatus* pStatus);

    int m_hFile = hFileNull;
    FileStatus m_Status;
    std::string m_strSpare1;
    std::string m_strSpare2;
    std::string m_strDisplayName;
    char* m_pchLastSlash = nullptr;  // the last '/' of the full name
    char* m_pchLastDot = nullptr;    // the last '.' of the name part
};
