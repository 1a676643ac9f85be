// The process-wide proxy, proxy-exception and authentication tables.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qn::webnet {

// ---- Proxies ----

struct ProxyEntry {
    std::string scheme;  // lower case
    std::string url;     // "scheme://host[:port]/"
};
struct ProxyException {
    std::string scheme;  // lower case; empty = any
    std::string host;    // lower case
    int port = 0;        // 0 = URLs that name no port
};

// The proxy URL a request for url goes through, or empty to go direct.
std::string ChooseProxy(std::string_view url);

// ---- Authentication ----

struct Realm {
    std::string name;
    std::optional<std::string> user;
    std::optional<std::string> password;
};

struct ProtectionSetup {
    std::string pathTemplate;  // "/dir/*"
    std::vector<std::string> schemes;
    std::vector<std::pair<std::string, std::string>> params;
    bool fRetry = false;
    const std::string* Param(std::string_view name) const;
};

struct Server {
    std::string host;  // lower case
    int port = 80;
    // The server answered over TLS (or is the HTTPS port): its credentials never go out in
    // clear text, whatever URL names the same host and port later.
    bool fTlsOnly = false;
    std::vector<std::unique_ptr<ProtectionSetup>> setups;
    std::vector<std::unique_ptr<Realm>> realms;
};

Server* FindServer(std::string_view host, int port);
Server* FindOrCreateServer(std::string_view host, int port, bool* pfExisted);
Realm* FindRealm(Server* pServer, std::string_view name);

// The "Authorization" value ("Basic ...") for a request to url, or empty.
std::string ComposeCredentials(std::string_view url);

// True when one of the offered schemes is one webnet composes credentials for (Basic).
bool CanAnswer(const std::vector<std::string>& schemes);

// The template that protects a path and what lies below its directory.
std::string MakeProtectionTemplate(std::string_view path);
bool TemplateMatches(std::string_view pathTemplate, std::string_view path);

// Empties every table (QNINetTerminate).
void ClearTables();

}  // namespace qn::webnet
