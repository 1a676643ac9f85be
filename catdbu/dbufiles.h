// File and path helpers of the catalog utilities: the names of a catalog's companion files
// and durable writes.
#pragma once

#include <string>

#include "foundation/cataloglog.h"

namespace qn::dbu {

// The part after the last '/' ("" for a path ending in '/').
std::string FileNamePart(const std::string& strPath);
// The part before the last '/' ("." when there is none, "/" for a file in the root).
std::string DirectoryPart(const std::string& strPath);
// The path with the extension of its file name replaced by pszExtension (given without the
// dot); a name without an extension gets it appended.
std::string ReplaceExtension(const std::string& strPath, const char* pszExtension);
enum class PathKind { Missing, File, Directory, Other };
PathKind KindOf(const std::string& strPath);

// True when both paths name the same existing file (same device and inode).
bool SameFile(const std::string& strA, const std::string& strB);

// Flushes a file's data to the disk; false on failure.
bool SyncFile(const std::string& strPath);
// Flushes a directory entry list to the disk (after a rename); false on failure.
bool SyncDirectory(const std::string& strPath);

// Copies a small file durably: written to a temporary file beside strTo, flushed, then renamed
// over strTo. False (strTo unchanged, errno set) on failure.
bool CopyFileAtomically(const std::string& strFrom, const std::string& strTo);

// A temporary name beside strPath that no other process uses at the same time.
std::string TemporaryNameBeside(const std::string& strPath, const char* pszTag);

}  // namespace qn::dbu
