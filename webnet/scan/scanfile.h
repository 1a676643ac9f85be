// Scanning a page file: the block reader that feeds the tokenizer, the scan hook, and the title
// scan, shared by the exports of the page scanner and the anchor scan.
#pragma once

#include <string>

#include "webnet.h"

namespace qn::webnet::scan {

// The block size of a scan: files are read in blocks of up to this many bytes.
inline constexpr size_t kScanBlock = 16384;
// The hook runs before the first byte of each block and then every kHookInterval bytes.
inline constexpr size_t kHookInterval = 200;

// Scans an open file from offset 0 (the scan of every export). 0, or 8 (no routine) or 4 (the
// file cannot be rewound or its size read, as for anything but a regular file, or a read
// failed before the scan was done; what was read until then has been reported).
int ScanDescriptor(int fd, QNINetScanRoutine routine, void* userData);

// Scans for the text of the first TITLE. 0 with *pstrTitle set, 18 when there is none (or it
// is empty), or the codes of ScanDescriptor.
int ScanTitle(int fd, std::string* pstrTitle);

// Opens a file for a scan: the descriptor, or -1 when it cannot be opened or is no regular
// file (a folder, a device, a named pipe).
int OpenForScan(const char* pszFileName);

}  // namespace qn::webnet::scan
