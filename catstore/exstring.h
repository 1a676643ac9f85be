// Caller strings (EX_STRING): movable blocks with a 16-bit length, the characters and a NUL.
#pragma once

#include <string>

#include "catstore.h"

namespace catstore {

// A new caller string of the given bytes (cut at 65535); nullptr when memory is exhausted.
EX_STRING* MakeExString(const char* pch, size_t cch);
inline EX_STRING* MakeExString(const std::string& str) {
    return MakeExString(str.data(), str.size());
}
// The text of a caller string (up to its length); "" for NULL or an invalid block.
std::string ReadExString(EX_STRING* hString);
// A caller block of bytes (shadow data): nullptr when cb is 0 or memory is exhausted.
QNHGLOBAL MakeBytes(const void* pv, size_t cb);
// Up to cb bytes of a caller block (limited by the block's size).
std::string ReadBytes(QNHGLOBAL hMem, size_t cb);

}  // namespace catstore
