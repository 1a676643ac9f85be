// The profile-file text model behind profile.h and userstore.h: pure functions over the bytes
// of a file, so that they can be tested and fuzzed without touching a disk.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qn::platform::profile::detail {

enum class LineKind { Blank, Comment, Section, Key, Other };

struct Line {
    size_t begin = 0;  // offset of the line's first byte
    size_t end = 0;    // offset just past the line's text (before its end of line)
    size_t next = 0;   // offset of the next line
    LineKind kind = LineKind::Other;
    std::string_view name;   // section name, or key (without surrounding blanks)
    std::string_view value;  // key value without surrounding blanks (quotes kept)
};

// Splits text into lines ("\r\n", "\n" or a lone "\r" end a line; the last line may have none).
std::vector<Line> ParseLines(std::string_view text);

// Case-insensitive comparison of ASCII letters.
bool EqualNoCase(std::string_view a, std::string_view b);
// A value as a read delivers it: without one pair of enclosing quotes.
std::string_view Unquote(std::string_view value);

// The value of key in the first section named section; false when absent.
bool LookupValue(std::string_view text, std::string_view section, std::string_view key,
                 std::string* pstrValue);
// Section names in file order (first occurrence only).
std::vector<std::string> SectionNames(std::string_view text);
bool HasSection(std::string_view text, std::string_view section);
// Key lines of the first section named section, in file order (first occurrence of each key).
std::vector<std::pair<std::string, std::string>> SectionEntries(std::string_view text,
                                                                std::string_view section);

// The file text after a write: pszKey null deletes every section named pszSection; pszValue null
// deletes the key from the first such section; otherwise the key is set (replaced in place, or
// added after the section's last entry, or in a new section at the end). Returns false (and
// leaves *pstrOut alone) for names or values that a profile file cannot hold: an empty or null
// section, a section with ']', an empty key, a key with '=' or starting with '[' or ';', and any
// line break in section, key or value.
bool ApplyWrite(std::string_view text, const char* pszSection, const char* pszKey,
                const char* pszValue, std::string* pstrOut);
// Adds "[section]" at the end when there is no such section.
bool EnsureSection(std::string_view text, std::string_view section, std::string* pstrOut);

// The file's line ending: the first one found, "\r\n" when there is none.
std::string_view LineEnding(std::string_view text);

// Reads a whole file; false when it cannot be opened (absent or unreadable).
bool ReadWholeFile(const std::string& strPath, std::string* pstrText);
// Replaces a file with fnChange(old text) atomically (temporary file and rename) while holding an
// exclusive advisory lock on it, so that concurrent writers of one file take turns and none loses
// the other's change. An absent file reads as empty and is only created when the new text is not
// empty. fnChange returns false to give up (the file unchanged). False when the file cannot be
// written.
bool LockedReplace(const std::string& strPath,
                   const std::function<bool(const std::string&, std::string*)>& fnChange);

}  // namespace qn::platform::profile::detail
