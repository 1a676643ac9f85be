#include "url.h"

#include <cctype>

namespace qn::webnet {

UrlParts SplitUrl(std::string_view url) {
    UrlParts parts;
    // The fragment never takes part.
    if (size_t hash = url.find('#'); hash != std::string_view::npos)
        url = url.substr(0, hash);
    std::string_view rest = url;
    for (size_t i = 0; i < url.size(); ++i) {
        char ch = url[i];
        if (ch == '/' || ch == '?')
            break;
        if (ch == ':') {
            parts.scheme = url.substr(0, i);
            rest = url.substr(i + 1);
            break;
        }
    }
    if (rest.size() >= 2 && rest[0] == '/' && rest[1] == '/') {
        parts.fHasHost = true;
        rest.remove_prefix(2);
        size_t slash = rest.find('/');
        // A query directly after the host belongs to the path.
        size_t query = rest.find('?');
        if (query != std::string_view::npos && (slash == std::string_view::npos || query < slash)) {
            parts.host = rest.substr(0, query);
            parts.path = rest.substr(query);
            parts.fAbsolutePath = true;
            return parts;
        }
        if (slash == std::string_view::npos) {
            parts.host = rest;
            return parts;
        }
        parts.host = rest.substr(0, slash);
        parts.path = rest.substr(slash + 1);
        parts.fAbsolutePath = true;
        return parts;
    }
    if (!rest.empty() && rest[0] == '/') {
        parts.path = rest.substr(1);
        parts.fAbsolutePath = true;
        return parts;
    }
    parts.path = rest;
    return parts;
}

std::string_view HostWithoutUser(std::string_view host) {
    size_t at = host.rfind('@');
    return at == std::string_view::npos ? host : host.substr(at + 1);
}

HostPort SplitHostPort(std::string_view host) {
    HostPort result;
    host = HostWithoutUser(host);
    std::string_view name = host;
    std::string_view port;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close != std::string_view::npos) {
            name = host.substr(0, close + 1);
            std::string_view tail = host.substr(close + 1);
            if (!tail.empty() && tail[0] == ':') {
                port = tail.substr(1);
                result.fHasPort = true;
            }
        }
    } else if (size_t colon = host.rfind(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
        result.fHasPort = true;
    }
    result.name = ToLower(name);
    long value = 0;
    for (char ch : port) {
        if (ch < '0' || ch > '9' || value > 65535) {
            value = 0;
            break;
        }
        value = value * 10 + (ch - '0');
    }
    result.port = value > 65535 ? 0 : static_cast<int>(value);
    return result;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string ToLower(std::string_view s) {
    std::string out(s);
    for (char& ch : out)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return out;
}

Scheme ClassifyScheme(std::string_view scheme) {
    if (EqualsNoCase(scheme, "http"))
        return Scheme::kHttp;
    if (EqualsNoCase(scheme, "https"))
        return Scheme::kHttps;
    if (EqualsNoCase(scheme, "ftp"))
        return Scheme::kFtp;
    return Scheme::kNone;
}

int EffectivePort(std::string_view scheme, const HostPort& hostPort) {
    if (hostPort.port != 0)
        return hostPort.port;
    return ClassifyScheme(scheme) == Scheme::kHttps ? 443 : 80;
}

}  // namespace qn::webnet
