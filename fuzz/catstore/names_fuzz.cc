// Catalog paths, user names and passwords as callers hand them in: splitting, the derived user
// id string and the password scramble never crash and keep their rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    if (cb == 0) {
        return 0;
    }
    std::string str(reinterpret_cast<const char*>(pb + 1), cb - 1);
    switch (pb[0] % 3) {
        case 0: {
            catstore::CatalogPath path;
            if (catstore::SplitCatalogPath(str, &path) == 0) {
                if (path.strBase.empty() || path.strExt.empty()) {
                    std::abort();
                }
                (void)path.Full();
            }
            std::string strIni = catstore::CatalogIniPath(str);
            if (strIni.size() < 4 || strIni.compare(strIni.size() - 4, 4, ".ini") != 0) {
                std::abort();
            }
            (void)catstore::UserIniPath(str, "user0001");
            break;
        }
        case 1: {
            uint16_t wId = cb > 2 ? static_cast<uint16_t>(pb[1] | (pb[2] << 8)) : 1;
            std::string strId = catstore::MakeUserIDString(str, wId);
            if (strId.empty() || strId.size() > 8) {
                std::abort();
            }
            for (char ch : strId) {
                bool fOk = (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_' ||
                           (ch >= 'A' && ch <= 'F');
                if (!fOk) {
                    std::abort();
                }
            }
            break;
        }
        default: {
            char achStored[16];
            bool fStored = catstore::StorePassword(str, achStored);
            if (fStored != (str.size() <= 16)) {
                std::abort();
            }
            if (fStored && str.find('\0') == std::string::npos &&
                !catstore::PasswordMatches(str, achStored)) {
                // Only bytes that can never occur in UTF-8 text scramble to zero.
                bool fExotic = false;
                for (unsigned char ch : str) {
                    fExotic = fExotic || ch >= 0xF5;
                }
                if (!fExotic) {
                    std::abort();
                }
            }
            break;
        }
    }
    return 0;
}
