// URL parsing the way the library has always split URLs: an access scheme before the first
// ':' that comes before any '/', '?' or '#'; a host part after "//" up to the next '/'; the
// rest up to a '#' as the path. Every input yields parts (possibly empty); nothing is decoded.
#pragma once

#include <string>
#include <string_view>

namespace qn::webnet {

struct UrlParts {
    std::string_view scheme;  // without the ':'; empty when the URL names none
    std::string_view host;    // without "//"; may carry "user@" and ":port"
    std::string_view path;    // without the leading '/'; includes a query, not a fragment
    bool fHasHost = false;    // the URL has a "//" part
    bool fAbsolutePath = false;
};

// Splits url; views point into url.
UrlParts SplitUrl(std::string_view url);

// The host part without a "user[:password]@" prefix.
std::string_view HostWithoutUser(std::string_view host);

// Splits "name[:port]" (after any "user@"); port 0 when none or unparseable, name lower-cased.
// Bracketed IPv6 literals keep their brackets in the name.
struct HostPort {
    std::string name;
    int port = 0;
    bool fHasPort = false;
};
HostPort SplitHostPort(std::string_view host);

// Case-insensitive ASCII comparison.
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string ToLower(std::string_view s);

// The schemes a load accepts: "http", "https" and "ftp", in any letter case.
enum class Scheme { kNone, kHttp, kHttps, kFtp };
Scheme ClassifyScheme(std::string_view scheme);

// The port a URL's host part connects to: the one it names, else 443 for HTTPS and 80 for
// anything else. Server entries of the realm table are keyed by it, so that credentials given
// for an HTTPS server never meet a plain-HTTP server on the same host.
int EffectivePort(std::string_view scheme, const HostPort& hostPort);

}  // namespace qn::webnet
