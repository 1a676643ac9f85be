// CRC-32 with the zlib polynomial: stored checksums are compared with fresh ones, so the
// algorithm never changes.
#include "catdbms/dbms.h"

namespace qn::dbms {

namespace {
struct CrcTable {
    uint32_t v[256];
    constexpr CrcTable() : v() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            v[i] = c;
        }
    }
};
constexpr CrcTable kCrc;
}  // namespace

uint32_t CDbTask::Checksum(const void* data, size_t length, uint32_t crc) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t c = crc ^ 0xFFFFFFFFu;
    for (size_t i = 0; p != nullptr && i < length; ++i)
        c = kCrc.v[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

}  // namespace qn::dbms
