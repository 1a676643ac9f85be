#include "platform/profileparse.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qn::platform::profile::detail {
namespace {

bool IsBlank(char ch) {
    return ch == ' ' || ch == '\t';
}

std::string_view Trim(std::string_view sv) {
    while (!sv.empty() && IsBlank(sv.front()))
        sv.remove_prefix(1);
    while (!sv.empty() && IsBlank(sv.back()))
        sv.remove_suffix(1);
    return sv;
}

char Lower(char ch) {
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool HasLineBreak(const char* psz) {
    return psz != nullptr && (strchr(psz, '\r') != nullptr || strchr(psz, '\n') != nullptr);
}

// Index of the first section line named section, or lines.size().
size_t FindSection(const std::vector<Line>& lines, std::string_view section, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].kind == LineKind::Section && EqualNoCase(lines[i].name, section))
            return i;
    }
    return lines.size();
}

// Index of the line after the last line of the section starting at iSection.
size_t SectionEnd(const std::vector<Line>& lines, size_t iSection) {
    size_t i = iSection + 1;
    while (i < lines.size() && lines[i].kind != LineKind::Section)
        ++i;
    return i;
}

}  // namespace

std::vector<Line> ParseLines(std::string_view text) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        Line line;
        line.begin = pos;
        size_t end = pos;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r')
            ++end;
        line.end = end;
        size_t next = end;
        if (next < text.size()) {
            if (text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n') {
                next += 2;
            } else {
                next += 1;
            }
        }
        line.next = next;
        std::string_view body = Trim(text.substr(pos, end - pos));
        if (body.empty()) {
            line.kind = LineKind::Blank;
        } else if (body.front() == ';') {
            line.kind = LineKind::Comment;
        } else if (body.front() == '[') {
            size_t close = body.find(']');
            if (close != std::string_view::npos) {
                line.kind = LineKind::Section;
                line.name = Trim(body.substr(1, close - 1));
            }
        } else {
            size_t eq = body.find('=');
            if (eq != std::string_view::npos) {
                std::string_view key = Trim(body.substr(0, eq));
                if (!key.empty()) {
                    line.kind = LineKind::Key;
                    line.name = key;
                    line.value = Trim(body.substr(eq + 1));
                }
            }
        }
        lines.push_back(line);
        pos = next;
    }
    return lines;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

bool LookupValue(std::string_view text, std::string_view section, std::string_view key,
                 std::string* pstrValue) {
    std::vector<Line> lines = ParseLines(text);
    size_t iSection = FindSection(lines, section);
    if (iSection == lines.size())
        return false;
    size_t iEnd = SectionEnd(lines, iSection);
    for (size_t i = iSection + 1; i < iEnd; ++i) {
        if (lines[i].kind == LineKind::Key && EqualNoCase(lines[i].name, key)) {
            pstrValue->assign(Unquote(lines[i].value));
            return true;
        }
    }
    return false;
}

std::vector<std::string> SectionNames(std::string_view text) {
    std::vector<std::string> names;
    for (const Line& line : ParseLines(text)) {
        if (line.kind != LineKind::Section)
            continue;
        bool fSeen = false;
        for (const auto& name : names) {
            if (EqualNoCase(name, line.name))
                fSeen = true;
        }
        if (!fSeen)
            names.emplace_back(line.name);
    }
    return names;
}

bool HasSection(std::string_view text, std::string_view section) {
    std::vector<Line> lines = ParseLines(text);
    return FindSection(lines, section) != lines.size();
}

std::vector<std::pair<std::string, std::string>> SectionEntries(std::string_view text,
                                                                std::string_view section) {
    std::vector<std::pair<std::string, std::string>> entries;
    std::vector<Line> lines = ParseLines(text);
    size_t iSection = FindSection(lines, section);
    if (iSection == lines.size())
        return entries;
    size_t iEnd = SectionEnd(lines, iSection);
    for (size_t i = iSection + 1; i < iEnd; ++i) {
        if (lines[i].kind != LineKind::Key)
            continue;
        bool fSeen = false;
        for (const auto& entry : entries) {
            if (EqualNoCase(entry.first, lines[i].name))
                fSeen = true;
        }
        if (!fSeen)
            entries.emplace_back(std::string(lines[i].name), std::string(Unquote(lines[i].value)));
    }
    return entries;
}

std::string_view LineEnding(std::string_view text) {
    size_t pos = text.find_first_of("\r\n");
    if (pos == std::string_view::npos)
        return "\r\n";
    if (text[pos] == '\r') {
        return (pos + 1 < text.size() && text[pos + 1] == '\n') ? std::string_view("\r\n")
                                                                : std::string_view("\r");
    }
    return "\n";
}

bool ApplyWrite(std::string_view text, const char* pszSection, const char* pszKey,
                const char* pszValue, std::string* pstrOut) {
    if (pszSection == nullptr || HasLineBreak(pszSection) || HasLineBreak(pszKey) ||
        HasLineBreak(pszValue)) {
        return false;
    }
    std::string_view section = Trim(pszSection);
    if (section.empty() || section.find(']') != std::string_view::npos)
        return false;
    std::string_view key;
    if (pszKey != nullptr) {
        key = Trim(pszKey);
        if (key.empty() || key.find('=') != std::string_view::npos || key.front() == '[' ||
            key.front() == ';') {
            return false;
        }
    }
    std::vector<Line> lines = ParseLines(text);
    std::string_view eol = LineEnding(text);
    std::string out;
    out.reserve(text.size() + 64);

    if (pszKey == nullptr) {
        // Delete every section of this name with all its lines.
        size_t pos = 0;
        size_t i = FindSection(lines, section);
        while (i < lines.size()) {
            size_t iEnd = SectionEnd(lines, i);
            out.append(text.substr(pos, lines[i].begin - pos));
            pos = iEnd < lines.size() ? lines[iEnd].begin : text.size();
            i = FindSection(lines, section, iEnd);
        }
        out.append(text.substr(pos));
        *pstrOut = std::move(out);
        return true;
    }

    size_t iSection = FindSection(lines, section);
    if (iSection == lines.size()) {
        if (pszValue == nullptr) {
            pstrOut->assign(text);
            return true;
        }
        out.assign(text);
        if (!out.empty() && out.back() != '\n' && out.back() != '\r')
            out.append(eol);
        out.append("[").append(section).append("]").append(eol);
        out.append(key).append("=").append(pszValue).append(eol);
        *pstrOut = std::move(out);
        return true;
    }

    size_t iEnd = SectionEnd(lines, iSection);
    size_t iKey = iEnd;
    size_t iLastEntry = iSection;
    for (size_t i = iSection + 1; i < iEnd; ++i) {
        if (lines[i].kind == LineKind::Key && iKey == iEnd && EqualNoCase(lines[i].name, key)) {
            iKey = i;
        }
        if (lines[i].kind != LineKind::Blank)
            iLastEntry = i;
    }

    if (pszValue == nullptr) {
        // Remove every line of this key in the section.
        size_t pos = 0;
        for (size_t i = iSection + 1; i < iEnd; ++i) {
            if (lines[i].kind == LineKind::Key && EqualNoCase(lines[i].name, key)) {
                out.append(text.substr(pos, lines[i].begin - pos));
                pos = lines[i].next;
            }
        }
        out.append(text.substr(pos));
        *pstrOut = std::move(out);
        return true;
    }

    std::string strLine = std::string(key) + "=" + pszValue;
    if (iKey != iEnd) {
        out.append(text.substr(0, lines[iKey].begin));
        out.append(strLine);
        out.append(text.substr(lines[iKey].end));
    } else {
        const Line& after = lines[iLastEntry];
        out.append(text.substr(0, after.next));
        if (after.next == after.end)
            out.append(eol);  // the last line had no line ending
        out.append(strLine).append(eol);
        out.append(text.substr(after.next));
    }
    *pstrOut = std::move(out);
    return true;
}

bool EnsureSection(std::string_view text, std::string_view section, std::string* pstrOut) {
    if (section.empty() || section.find_first_of("]\r\n") != std::string_view::npos)
        return false;
    std::string out(text);
    if (!HasSection(text, section)) {
        if (!out.empty() && out.back() != '\n' && out.back() != '\r')
            out.append(LineEnding(text));
        out.append("[").append(section).append("]").append(LineEnding(text));
    }
    *pstrOut = std::move(out);
    return true;
}

// ---- Files
// ----------------------------------------------------------------------------------------

namespace {

bool ReadAll(int fd, std::string* pstrText) {
    pstrText->clear();
    char buf[65536];
    for (;;) {
        ssize_t cb = read(fd, buf, sizeof buf);
        if (cb < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (cb == 0)
            return true;
        pstrText->append(buf, static_cast<size_t>(cb));
    }
}

bool WriteAll(int fd, const std::string& strText) {
    size_t pos = 0;
    while (pos < strText.size()) {
        ssize_t cb = write(fd, strText.data() + pos, strText.size() - pos);
        if (cb < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        pos += static_cast<size_t>(cb);
    }
    return true;
}

bool LockWhole(int fd) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    for (;;) {
        if (fcntl(fd, F_OFD_SETLKW, &fl) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

}  // namespace

bool ReadWholeFile(const std::string& strPath, std::string* pstrText) {
    // Non-blocking open: a FIFO in place of the file must not hang the reader.
    int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    bool fOk = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadAll(fd, pstrText);
    close(fd);
    return fOk;
}

namespace {

// Closes its descriptor (and so drops the lock taken on it) however the scope is left, also
// when a change function throws.
class CUniqueFd {
  public:
    explicit CUniqueFd(int fd) : m_fd(fd) {}
    ~CUniqueFd() {
        if (m_fd >= 0)
            close(m_fd);
    }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    int get() const { return m_fd; }

  private:
    int m_fd;
};

}  // namespace

// The text is written to a file without a name (where the file system allows one) that gets its
// temporary name only once complete, the moment before it takes the file's place; a writer
// killed while writing leaves nothing behind. The temporary's name is fixed, and only a writer
// that holds the file's lock uses it, so whatever a writer killed between the two steps left
// there is replaced by the next writer of the file.
static std::string TemporaryPath(const std::string& strPath) {
    return strPath + ".tmp";
}

static bool ReplaceUnderLock(const std::string& strPath, mode_t mode, const std::string& strNew) {
    std::string strTemp = TemporaryPath(strPath);
    size_t slash = strPath.find_last_of('/');
    std::string strDir = slash == std::string::npos ? "." : strPath.substr(0, slash + 1);
    int fdAnon = open(strDir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fdAnon >= 0) {
        bool fOk = fchmod(fdAnon, mode) == 0 && WriteAll(fdAnon, strNew) && fsync(fdAnon) == 0;
        if (fOk) {
            unlink(strTemp.c_str());
            std::string strSelf = "/proc/self/fd/" + std::to_string(fdAnon);
            fOk = linkat(AT_FDCWD, strSelf.c_str(), AT_FDCWD, strTemp.c_str(), AT_SYMLINK_FOLLOW) ==
                  0;
        }
        fOk = close(fdAnon) == 0 && fOk;
        if (fOk) {
            if (rename(strTemp.c_str(), strPath.c_str()) == 0)
                return true;
            unlink(strTemp.c_str());
            return false;
        }
        // No name could be given to it (no /proc, say): write through the named temporary.
    }
    int fdTemp = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fdTemp < 0)
        return false;
    bool fOk = fchmod(fdTemp, mode) == 0 && WriteAll(fdTemp, strNew) && fsync(fdTemp) == 0;
    fOk = close(fdTemp) == 0 && fOk;
    if (fOk)
        fOk = rename(strTemp.c_str(), strPath.c_str()) == 0;
    if (!fOk)
        unlink(strTemp.c_str());
    return fOk;
}

bool LockedReplace(const std::string& strPathGiven,
                   const std::function<bool(const std::string&, std::string*)>& fnChange) {
    if (strPathGiven.empty())
        return false;
    // A symbolic link is followed, so that the replacement lands in the file it points at.
    std::string strPath = strPathGiven;
    struct stat stLink;
    if (lstat(strPath.c_str(), &stLink) == 0 && S_ISLNK(stLink.st_mode)) {
        char* pszReal = realpath(strPath.c_str(), nullptr);
        if (pszReal == nullptr)
            return false;
        strPath = pszReal;
        free(pszReal);
    }
    for (int nAttempt = 0; nAttempt < 1000; ++nAttempt) {
        int fdOpen = open(strPath.c_str(), O_RDWR | O_CLOEXEC);
        if (fdOpen < 0 && errno == ENOENT) {
            std::string strNew;
            if (!fnChange(std::string(), &strNew))
                return false;
            if (strNew.empty())
                return true;  // nothing to write: leave the file absent
            fdOpen = open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        }
        if (fdOpen < 0)
            return false;
        CUniqueFd fd(fdOpen);  // its close releases the lock; waiting writers find the new file
        struct stat st;
        struct stat stPath;
        if (!LockWhole(fd.get()) || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        // Another writer may have replaced the file while we waited for its lock.
        if (st.st_nlink == 0 || stat(strPath.c_str(), &stPath) != 0 || stPath.st_ino != st.st_ino ||
            stPath.st_dev != st.st_dev)
            continue;
        std::string strOld;
        std::string strNew;
        if (!ReadAll(fd.get(), &strOld) || !fnChange(strOld, &strNew))
            return false;
        if (strNew == strOld) {
            // A writer with nothing to change still takes what a killed one left.
            unlink(TemporaryPath(strPath).c_str());
            return true;
        }
        return ReplaceUnderLock(strPath, st.st_mode & 07777, strNew);
    }
    return false;
}

}  // namespace qn::platform::profile::detail
