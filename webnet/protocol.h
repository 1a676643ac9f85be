// The HTTP texts webnet writes and reads: the request header lines it composes, and the status
// line, header lines and authentication challenges of a response. Pure functions over bounded
// inputs, so that they can be tested with tables and fuzzed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qn::webnet {

// Methods, with the loader's numbers.
enum Method : int { kMethodGet = 1, kMethodHead = 2, kMethodPost = 4, kMethodPut = 8 };
const char* MethodName(int nMethod);

// What goes into one request's header lines (after the request line).
struct RequestHeaderInput {
    std::string_view host;          // "name[:port]" as the URL writes it, for the Host line
    std::string authorization;      // "Basic ..." or empty
    bool fHasBody = false;          // POST and PUT
    long long cbContentLength = 0;  // the body length
    long ifModifiedSince = 0;       // seconds since 1970 UTC, 0 = none
};

// The header lines in the order they are sent, each without its CR LF: Host, the Accept lines
// of the presentation formats, Authorization, Pragma, User-Agent, Content-Length, and the
// extra header text ("Accept: */*" and If-Modified-Since).
std::vector<std::string> ComposeRequestHeaders(const RequestHeaderInput& input);

// The User-Agent text.
extern const char kUserAgent[];

// "%a, %d %b %Y %H:%M:%S GMT" of a time in UTC, without regard to the locale.
std::string FormatHttpDate(long long tTime);

// The status line of a response. fHttp: the line begins with "http/" in any letter case.
// nStatus: the number after the first blank (0 when there is none); reason: the rest of the
// line up to CR or LF.
struct StatusLine {
    bool fHttp = false;
    int nStatus = 0;
    std::string_view reason;
};
StatusLine ParseStatusLine(std::string_view line);

// One header line "Name: value" (CR LF removed, value without surrounding blanks). False for a
// line without a colon or with an empty name.
bool ParseHeaderLine(std::string_view line, std::string_view* pName, std::string_view* pValue);

// An authentication challenge ("WWW-Authenticate" value): a scheme name followed by
// name=value or name="value" parameters separated by commas. Several challenges in one value
// are split at a comma followed by a token that is not a parameter.
struct Challenge {
    std::string scheme;
    std::vector<std::pair<std::string, std::string>> params;  // names in lower case
};
void ParseChallenges(std::string_view value, std::vector<Challenge>* pOut);

// RFC 1421 printable encoding.
std::string Base64Encode(std::string_view data);

// Index of an HTTP status in the error table (0..22), or -1 for a status the table lacks.
int ErrorTableIndexOfStatus(int nStatus);

}  // namespace qn::webnet
