// The client preferences store.
//
// Preferences are addressed like the entries of a private INI file named "QNCLIENT.INI" (section,
// key, value) but live in the per-user key-value store (platform/userstore.h) under the key
// "Software\Quillon\<product name>\<section>". The location argument must name "QNCLIENT.INI"
// (compared without case) and only selects this store: no file of that name is read or written
// here. No call reports failure: a read that cannot be served delivers the default, a write that
// cannot be done is dropped; each failure fires an assertion (shown only while assertion checking
// is on).
#pragma once

#include <cstdint>
#include <string>

#define QNINI_INIFILENAME "QNCLIENT.INI"

// Value types of the store (the registry's string and 32-bit number types).
inline constexpr uint32_t QNPREF_TYPE_STRING = 1;
inline constexpr uint32_t QNPREF_TYPE_NUMBER = 4;

// The key path of a section: "Software\Quillon\<product name>\<section>". The product name is
// the process-wide one of QNGetProductName (include/qnplatform.h), "Zelto Bookmarks" unless the
// program set another.
std::string QNPrefKeyPath(const char* pszSection);

// The stored number of pszKey in pszSection; dwDefault when the section or key is absent or holds
// neither a number nor a string. A string is converted as an unsigned number (decimal, 0x
// hexadecimal, or octal after a leading 0; "abc" gives 0); a number that overflows 32 bits
// delivers the default.
uint32_t QNPrefGetNumber(const char* pszSection, const char* pszKey, uint32_t dwDefault,
                         const char* pszLocation);

// Copies the stored string of pszKey into pchBuffer (capacity cbBuffer bytes, including the NUL;
// a longer value is cut) and returns its length without the NUL. When absent: copies pszDefault
// and returns its length, or returns 0 and leaves the buffer untouched when pszDefault is null.
// With pszKey null the buffer instead receives the names of the section's values, each ended by a
// NUL, with one more NUL at the end; the result is the bytes used without that last NUL. When the
// names do not all fit, the list stops at the last whole name that fits.
uint32_t QNPrefGetString(const char* pszSection, const char* pszKey, const char* pszDefault,
                         char* pchBuffer, uint32_t cbBuffer, const char* pszLocation);

// Stores pszValue as a string; a null pszValue deletes the value. Always returns 1.
int QNPrefSetString(const char* pszSection, const char* pszKey, const char* pszValue,
                    const char* pszLocation);

// Stores a 32-bit number (for programs and tests that keep numbers). Always returns 1.
int QNPrefSetNumber(const char* pszSection, const char* pszKey, uint32_t dwValue,
                    const char* pszLocation);

// The conversion that number reads use for strings: decimal, hexadecimal after "0x" or "0X",
// octal after a leading 0; leading blanks are skipped and conversion stops at the first character
// that is not a digit of the base (so "abc" gives 0). False when the value overflows 32 bits.
bool QNParseUnsigned(const char* pszText, uint32_t* pdwValue);
