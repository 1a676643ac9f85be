// Profile (INI) files with the semantics of the Windows private-profile calls.
//
// Sections and keys are matched without regard to letter case. Lines that a write does not
// touch (comments, blank lines, other sections and keys, unparseable lines) are kept as they
// are. A write replaces the file atomically (temporary file + rename) while holding an
// advisory lock, so two processes writing different keys of one file never lose either key;
// readers never see a half-written file. Files are read as bytes; "\r\n" and "\n" both end a
// line, and a written file keeps the line ending it had ("\r\n" for a new file).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qn::platform::profile {

// GetPrivateProfileString. Copies the value of pszKey in pszSection into pchBuffer (capacity
// cchBuffer, including the NUL) and returns the characters copied without the NUL. An absent
// key delivers pszDefault (NULL counts as ""); trailing blanks of the default are dropped.
// A value that does not fit is cut to cchBuffer - 1 characters, and that is returned.
// With pszKey NULL the buffer receives the section's key names and with pszSection NULL the
// file's section names, each ended by a NUL with one more NUL at the end; when the list does
// not fit it is cut at the last whole name that fits and cchBuffer - 2 is returned.
// Values are read without surrounding blanks and without one pair of enclosing quotes.
size_t ReadString(const char* pszSection, const char* pszKey, const char* pszDefault,
                  char* pchBuffer, size_t cchBuffer, const char* pszPath);

// GetPrivateProfileInt: the value's leading decimal number (an optional sign, then digits);
// 0 when the value does not start with a number; nDefault when the key is absent.
int ReadInt(const char* pszSection, const char* pszKey, int nDefault, const char* pszPath);

// WritePrivateProfileString. Sets pszKey to pszValue in pszSection, creating the section and
// the file when missing. pszValue NULL deletes the key; pszKey NULL deletes the whole section.
// Returns false (the file unchanged) when the file cannot be written.
bool WriteString(const char* pszSection, const char* pszKey, const char* pszValue,
                 const char* pszPath);

// GetPrivateProfileSection: "key=value" lines of a section, each ended by a NUL, with one
// more NUL at the end. Returns the characters copied without the final NUL; a list that does
// not fit is cut at the last whole line and cchBuffer - 2 is returned.
size_t ReadSection(const char* pszSection, char* pchBuffer, size_t cchBuffer, const char* pszPath);

// Convenience for C++ callers.
struct Entry {
    std::string key;
    std::string value;
};
std::vector<Entry> ReadSectionEntries(const char* pszSection, const char* pszPath);
std::vector<std::string> ReadSectionNames(const char* pszPath);

}  // namespace qn::platform::profile
