#include "protocol.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace qn::webnet {

const char kUserAgent[] = "webnet32.DLL/3.1 libwww/3.1";

const char* MethodName(int nMethod) {
    switch (nMethod) {
        case kMethodHead:
            return "HEAD";
        case kMethodPost:
            return "POST";
        case kMethodPut:
            return "PUT";
        default:
            return "GET";
    }
}

std::vector<std::string> ComposeRequestHeaders(const RequestHeaderInput& input) {
    std::vector<std::string> lines;
    lines.reserve(10);
    lines.push_back("Host: " + std::string(input.host));
    // The presentation formats the system handles.
    lines.emplace_back("Accept: text/html");
    lines.emplace_back("Accept: text/plain");
    if (!input.authorization.empty())
        lines.push_back("Authorization: " + input.authorization);
    lines.emplace_back("Pragma: no-cache");
    lines.push_back(std::string("User-Agent: ") + kUserAgent);
    if (input.fHasBody)
        lines.push_back("Content-Length: " + std::to_string(input.cbContentLength));
    lines.emplace_back("Accept: */*");
    if (input.ifModifiedSince != 0)
        lines.push_back("If-Modified-Since: " + FormatHttpDate(input.ifModifiedSince));
    return lines;
}

std::string FormatHttpDate(long long tTime) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t t = static_cast<time_t>(tTime);
    struct tm tmUtc {};
    if (gmtime_r(&t, &tmUtc) == nullptr)
        return "Thu, 01 Jan 1970 00:00:00 GMT";
    char szBuffer[64];
    snprintf(szBuffer, sizeof szBuffer, "%s, %02d %s %04d %02d:%02d:%02d GMT",
             kDays[tmUtc.tm_wday % 7], tmUtc.tm_mday, kMonths[tmUtc.tm_mon % 12],
             tmUtc.tm_year + 1900, tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec);
    return szBuffer;
}

namespace {

std::string_view StripLineEnd(std::string_view line) {
    size_t end = line.find_first_of("\r\n");
    return end == std::string_view::npos ? line : line.substr(0, end);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool IsTokenChar(char ch) {
    unsigned char uch = static_cast<unsigned char>(ch);
    return uch > ' ' && uch < 127 && ch != ',' && ch != '=' && ch != '"' && ch != ';';
}

}  // namespace

StatusLine ParseStatusLine(std::string_view line) {
    StatusLine status;
    line = StripLineEnd(line);
    if (line.size() < 5)
        return status;
    static const char kPrefix[] = "http/";
    for (size_t i = 0; i < 5; ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != kPrefix[i])
            return status;
    }
    status.fHttp = true;
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos)
        return status;
    std::string_view rest = line.substr(blank + 1);
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    size_t i = 0;
    long value = 0;
    while (i < rest.size() && i < 9 && rest[i] >= '0' && rest[i] <= '9') {
        value = value * 10 + (rest[i] - '0');
        ++i;
    }
    status.nStatus = static_cast<int>(value);
    rest.remove_prefix(i);
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    status.reason = rest;
    return status;
}

bool ParseHeaderLine(std::string_view line, std::string_view* pName, std::string_view* pValue) {
    line = StripLineEnd(line);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view name = Trim(line.substr(0, colon));
    if (name.empty())
        return false;
    *pName = name;
    *pValue = Trim(line.substr(colon + 1));
    return true;
}

void ParseChallenges(std::string_view value, std::vector<Challenge>* pOut) {
    size_t pos = 0;
    const size_t n = value.size();
    auto skipBlanks = [&] {
        while (pos < n && (value[pos] == ' ' || value[pos] == '\t' || value[pos] == ','))
            ++pos;
    };
    Challenge* pCurrent = nullptr;
    while (pos < n) {
        skipBlanks();
        size_t start = pos;
        while (pos < n && IsTokenChar(value[pos]))
            ++pos;
        if (pos == start) {
            ++pos;  // a stray character; skip it
            continue;
        }
        std::string_view token = value.substr(start, pos - start);
        size_t look = pos;
        while (look < n && (value[look] == ' ' || value[look] == '\t'))
            ++look;
        if (look < n && value[look] == '=' && pCurrent != nullptr) {
            // A parameter of the current challenge.
            pos = look + 1;
            while (pos < n && (value[pos] == ' ' || value[pos] == '\t'))
                ++pos;
            std::string strValue;
            if (pos < n && value[pos] == '"') {
                ++pos;
                while (pos < n && value[pos] != '"') {
                    if (value[pos] == '\\' && pos + 1 < n)
                        ++pos;
                    strValue.push_back(value[pos]);
                    ++pos;
                }
                if (pos < n)
                    ++pos;  // closing quote
            } else {
                size_t vstart = pos;
                while (pos < n && value[pos] != ',' && value[pos] != ' ' && value[pos] != '\t')
                    ++pos;
                strValue.assign(value.substr(vstart, pos - vstart));
            }
            std::string strName(token);
            for (char& ch : strName)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            pCurrent->params.emplace_back(std::move(strName), std::move(strValue));
        } else if (look < n && value[look] == '=') {
            // A parameter before any scheme (token68 or garbage): skip its value.
            pos = look + 1;
            while (pos < n && value[pos] != ',')
                ++pos;
        } else {
            pOut->push_back(Challenge{std::string(token), {}});
            pCurrent = &pOut->back();
        }
    }
}

std::string Base64Encode(std::string_view data) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(data[i]) << 16) |
                     (static_cast<unsigned char>(data[i + 1]) << 8) |
                     static_cast<unsigned char>(data[i + 2]);
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    if (i < data.size()) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size())
            v |= static_cast<unsigned char>(data[i + 1]) << 8;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

int ErrorTableIndexOfStatus(int nStatus) {
    static const int kStatuses[] = {200, 201, 202, 203, 204, 301, 302, 303, 304, 400, 401, 402,
                                    403, 404, 405, 406, 407, 408, 500, 501, 502, 503, 504};
    for (int i = 0; i < static_cast<int>(sizeof kStatuses / sizeof kStatuses[0]); ++i) {
        if (kStatuses[i] == nStatus)
            return i;
    }
    return -1;
}

}  // namespace qn::webnet
