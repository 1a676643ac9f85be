// The response parsers on any bytes: the status line, header lines, authentication
// challenges, and Base64 of what they yield.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol.h"
#include "url.h"

using namespace qn::webnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb) {
    std::string_view text(reinterpret_cast<const char*>(pData), cb);
    bool fFirst = true;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line =
            text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
        text.remove_prefix(line.size());
        if (fFirst) {
            StatusLine status = ParseStatusLine(line);
            if (status.nStatus < 0)
                abort();
            (void)ErrorTableIndexOfStatus(status.nStatus);
            fFirst = false;
            continue;
        }
        std::string_view name, value;
        if (!ParseHeaderLine(line, &name, &value))
            continue;
        if (name.empty())
            abort();
        std::vector<Challenge> challenges;
        ParseChallenges(value, &challenges);
        for (const Challenge& challenge : challenges) {
            if (challenge.scheme.empty())
                abort();
            std::string encoded = Base64Encode(challenge.scheme);
            if (encoded.size() % 4 != 0)
                abort();
        }
    }
    return 0;
}
