// libFuzzer harness for the page scanner: any bytes, fed in blocks of a size taken from the
// input, must tokenise within bounds and give well-formed records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "scanner.h"
#include "sgml.h"

using namespace qn::webnet::scan;

namespace {

struct Check {
    size_t records = 0;
    int stopAfter = 0;
};

int Routine(ScanElement* e, void* userData) {
    auto* check = static_cast<Check*>(userData);
    ++check->records;
    if (e->kind < 0 || e->kind > 4 || e->count < 0 || e->count > kMaxAttributes ||
        (e->count > 0 && e->attributes == nullptr) || (e->kind == 4) != (e->name == nullptr) ||
        (e->kind == 4 && e->text == nullptr)) {
        std::abort();
    }
    if (e->text != nullptr) {
        volatile size_t n = std::strlen(e->text);
        (void)n;
    }
    for (int i = 0; i < e->count; ++i) {
        if (e->attributes[i].name == nullptr) {
            std::abort();
        }
        if (e->attributes[i].value != nullptr) {
            volatile size_t n = std::strlen(e->attributes[i].value);
            (void)n;
        }
        if (QNINetScanAttribute(e->attributes[i].name, e->count, e->attributes) == nullptr &&
            e->attributes[i].value != nullptr && i == 0) {
            std::abort();  // the first attribute of a name is always found
        }
    }
    return check->stopAfter == 0 || check->records < static_cast<size_t>(check->stopAfter);
}

}  // namespace

// QNINetScanAttribute lives in the library; the harness links the scanner core only.
extern "C" const char* QNINetScanAttribute(const char* name, int count,
                                           const ScanAttribute attributes[]) {
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(attributes[i].name, name) == 0) {
            return attributes[i].value;
        }
    }
    return nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    size_t block = 1 + (data[0] % 64) * (data[0] % 7 == 0 ? 256 : 1);
    Check check;
    check.stopAfter = (data[0] & 0x80) ? data[0] & 0x0F : 0;
    const char* p = reinterpret_cast<const char*>(data + 1);
    size_t n = size - 1;
    PageScanner scanner(Routine, &check);
    SgmlParser parser(scanner);
    parser.SetContinueFlag(scanner.ContinueFlag());
    for (size_t i = 0; i < n && *scanner.ContinueFlag() != 0; i += block) {
        parser.Feed(p + i, n - i < block ? n - i : block);
    }
    parser.Finish();
    scanner.Finish();
    return 0;
}
