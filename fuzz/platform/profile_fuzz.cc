// Feeds arbitrary bytes to the profile-file parser as a file's text, then reads and writes it the
// way the profile calls do. The first bytes choose the section, key and value of the write.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/profileparse.h"

namespace detail = qn::platform::profile::detail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData) {
    std::string_view input(reinterpret_cast<const char*>(pbData), cbData);
    // "section\0key\0value\0" prefix, then the file text.
    std::string parts[3];
    for (auto& part : parts) {
        size_t nul = input.find('\0');
        if (nul == std::string_view::npos || nul > 64)
            break;
        part.assign(input.substr(0, nul));
        input.remove_prefix(nul + 1);
    }
    std::string_view text = input;
    // Names are matched without their surrounding blanks.
    std::string trimmed[2];
    for (int i = 0; i < 2; ++i) {
        std::string_view sv = parts[i];
        while (!sv.empty() && (sv.front() == ' ' || sv.front() == '\t'))
            sv.remove_prefix(1);
        while (!sv.empty() && (sv.back() == ' ' || sv.back() == '\t'))
            sv.remove_suffix(1);
        trimmed[i] = std::string(sv);
    }

    for (const auto& line : detail::ParseLines(text)) {
        if (line.begin > line.end || line.end > line.next || line.next > text.size())
            __builtin_trap();
    }
    std::string strValue;
    detail::LookupValue(text, parts[0], parts[1], &strValue);
    auto names = detail::SectionNames(text);
    for (const auto& name : names)
        detail::SectionEntries(text, name);

    std::string out;
    if (detail::ApplyWrite(text, parts[0].c_str(), parts[1].c_str(), parts[2].c_str(), &out)) {
        // What was written reads back, and writing it again changes nothing.
        std::string strBack;
        if (!detail::LookupValue(out, trimmed[0], trimmed[1], &strBack))
            __builtin_trap();
        std::string again;
        if (!detail::ApplyWrite(out, parts[0].c_str(), parts[1].c_str(), parts[2].c_str(),
                                &again) ||
            again != out) {
            __builtin_trap();
        }
    }
    if (detail::ApplyWrite(text, parts[0].c_str(), parts[1].c_str(), nullptr, &out)) {
        std::string strGone;
        if (detail::LookupValue(out, trimmed[0], trimmed[1], &strGone))
            __builtin_trap();
    }
    if (detail::ApplyWrite(text, parts[0].c_str(), nullptr, nullptr, &out)) {
        if (detail::HasSection(out, trimmed[0]))
            __builtin_trap();
    }
    return 0;
}
