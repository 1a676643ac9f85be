// Catalog paths, the catalog and user configuration files, user id strings and the password
// scramble.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/status.h"

namespace catstore {

inline constexpr const char* INI_CONFIG_SECTION = "QNI Configuration File";
inline constexpr const char* INI_WARNING_KEY = "WARNING";
inline constexpr const char* INI_WARNING_TEXT =
    "Automatically generated configuration file - Do not modify";
inline constexpr const char* INI_TUNING_SECTION = "DBTuning";
inline constexpr const char* INI_USERMAP_SECTION = "UsernameMap";

// A catalog path taken apart: folder ("" when none), base name, extension (without the dot).
struct CatalogPath {
    std::string strDir;
    std::string strBase;
    std::string strExt;
    std::string Full() const;  // folder/base.ext
};

// Splits a catalog path; an empty extension becomes "VFC". A reserved extension (D00-D07, K00,
// K01, DBL, INI, LOG, TAF, any case) gives DBInvalidCatalogName; so does an empty base name.
DBStatus SplitCatalogPath(const std::string& strPath, CatalogPath* pOut);

// The path without its extension (the text after the last '.' when that '.' is at most 3
// characters from the end and belongs to the file name), followed by ".ini".
std::string CatalogIniPath(const std::string& strPath);

// The user id string for a user name and id ("annl0012", "bob", "user0012").
std::string MakeUserIDString(const std::string& strName, uint16_t wUserID);

// The user id string stored under "UsernameMap" (8 characters at most), or "SYSTEM" with a log
// line when the user is missing from the map.
std::string LookupUserIDString(const std::string& strCatalogIni, const std::string& strUser);

// The user configuration file: catalog folder, '/', user id string, ".ini" ("./x.ini" without a
// folder).
std::string UserIniPath(const std::string& strCatalogPath, const std::string& strUserID);

// Writes the warning line and LockMgr=1 into a new catalog configuration file.
bool WriteCatalogConfig(const std::string& strCatalogIni);
// Writes the user's map entry and the warning line of the user's configuration file.
bool WriteUserConfig(const std::string& strCatalogPath, const std::string& strCatalogIni,
                     const std::string& strUserName, const std::string& strUserID);
// Removes the user's map entry.
void RemoveUserMapEntry(const std::string& strCatalogIni, const std::string& strUserName);

// The password scramble (its own inverse) over cb bytes.
void ScramblePassword(unsigned char* pb, size_t cb);
// The 16-byte stored form of a password (scrambled, zero-filled); false when longer than 16.
bool StorePassword(const std::string& strPassword, char achOut[16]);
// The plain password of a stored field (bytes up to the first zero byte, descrambled).
std::string LoadPassword(const char achStored[16]);
// True when a password given at open matches the stored field.
bool PasswordMatches(const std::string& strPassword, const char achStored[16]);

}  // namespace catstore
