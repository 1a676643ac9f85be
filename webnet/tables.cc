// QNINetSetProxy, QNINetClearProxy, QNINetAddProxyException, QNINetClearProxyException,
// QNINetAddRealm and the rules by which requests use the tables.
#include "tables.h"
#include "guard.h"

#include <cstdio>
#include <cstdlib>

#include "protocol.h"
#include "state.h"
#include "url.h"
#include "warn.h"

namespace qn::webnet {
namespace {

// A table that does not exist differs from an empty one: the clear calls report which.
std::optional<std::vector<ProxyEntry>> g_proxies;
std::optional<std::vector<ProxyException>> g_exceptions;
std::vector<std::unique_ptr<Server>> g_servers;

const char* SchemeOfSelector(int nScheme) {
    switch (nScheme) {
        case QNINET_SCHEME_HTTP:
            return "http";
        case QNINET_SCHEME_FTP:
            return "ftp";
        case QNINET_SCHEME_HTTPS:
            return "https";
        default:
            return "(unknown)";
    }
}

// "scheme://host[:port]/" of a proxy text.
std::string ReduceProxyUrl(std::string_view text) {
    UrlParts parts = SplitUrl(text);
    std::string url;
    if (!parts.scheme.empty()) {
        url.append(ToLower(parts.scheme));
        url.push_back(':');
    }
    if (parts.fHasHost) {
        url.append("//");
        url.append(parts.host);
    } else if (parts.scheme.empty()) {
        // A bare "host:port" names the host.
        url.append("http://");
        url.append(text.substr(0, text.find('/')));
    }
    if (url.empty() || url.back() != '/')
        url.push_back('/');
    return url;
}

}  // namespace

std::string ChooseProxy(std::string_view url) {
    if (!g_proxies || g_proxies->empty())
        return {};
    UrlParts parts = SplitUrl(url);
    // HTTPS goes through a tunnel of its own proxy, else of the HTTP proxy; the exceptions
    // given for HTTP then hold for it too.
    const bool fHttps = ClassifyScheme(parts.scheme) == Scheme::kHttps;
    if (g_exceptions && !g_exceptions->empty()) {
        HostPort hp = SplitHostPort(parts.host);
        for (const ProxyException& ex : *g_exceptions) {
            if (!ex.scheme.empty() && !EqualsNoCase(ex.scheme, parts.scheme) &&
                !(fHttps && ex.scheme == "http"))
                continue;
            if (ex.port != hp.port)
                continue;
            if (hp.name == ex.host)
                return {};
            if (hp.name.size() > ex.host.size() &&
                hp.name.compare(hp.name.size() - ex.host.size(), ex.host.size(), ex.host) == 0 &&
                hp.name[hp.name.size() - ex.host.size() - 1] == '.')
                return {};
        }
    }
    const ProxyEntry* pHttp = nullptr;
    for (const ProxyEntry& entry : *g_proxies) {
        if (EqualsNoCase(entry.scheme, parts.scheme))
            return entry.url;
        if (entry.scheme == "http")
            pHttp = &entry;
    }
    return fHttps && pHttp != nullptr ? pHttp->url : std::string();
}

const std::string* ProtectionSetup::Param(std::string_view name) const {
    for (const auto& [key, value] : params) {
        if (key == name)
            return &value;
    }
    return nullptr;
}

Server* FindServer(std::string_view host, int port) {
    if (port <= 0)
        port = 80;
    for (auto& pServer : g_servers) {
        if (pServer->port == port && EqualsNoCase(pServer->host, host))
            return pServer.get();
    }
    return nullptr;
}

Server* FindOrCreateServer(std::string_view host, int port, bool* pfExisted) {
    Server* pServer = FindServer(host, port);
    if (pfExisted != nullptr)
        *pfExisted = pServer != nullptr;
    if (pServer != nullptr)
        return pServer;
    auto created = std::make_unique<Server>();
    created->host = ToLower(host);
    created->port = port <= 0 ? 80 : port;
    created->fTlsOnly = created->port == 443;
    g_servers.push_back(std::move(created));
    return g_servers.back().get();
}

Realm* FindRealm(Server* pServer, std::string_view name) {
    for (auto& pRealm : pServer->realms) {
        if (EqualsNoCase(pRealm->name, name))
            return pRealm.get();
    }
    return nullptr;
}

std::string MakeProtectionTemplate(std::string_view path) {
    path = path.substr(0, path.find('?'));
    size_t slash = path.rfind('/');
    std::string pathTemplate(slash == std::string_view::npos ? std::string_view("/")
                                                             : path.substr(0, slash + 1));
    if (pathTemplate.empty() || pathTemplate.front() != '/')
        pathTemplate.insert(pathTemplate.begin(), '/');
    pathTemplate.push_back('*');
    return pathTemplate;
}

bool TemplateMatches(std::string_view pathTemplate, std::string_view path) {
    size_t star = pathTemplate.find('*');
    if (star == std::string_view::npos)
        return pathTemplate == path;
    std::string_view prefix = pathTemplate.substr(0, star);
    std::string_view suffix = pathTemplate.substr(star + 1);
    return path.size() >= prefix.size() + suffix.size() &&
           path.substr(0, prefix.size()) == prefix &&
           path.substr(path.size() - suffix.size()) == suffix;
}

std::string ComposeCredentials(std::string_view url) {
    if (g_servers.empty())
        return {};
    UrlParts parts = SplitUrl(url);
    HostPort hp = SplitHostPort(parts.host);
    Server* pServer = FindServer(hp.name, EffectivePort(parts.scheme, hp));
    if (pServer == nullptr)
        return {};
    if (pServer->fTlsOnly && ClassifyScheme(parts.scheme) != Scheme::kHttps)
        return {};
    std::string path("/");
    path.append(parts.path.substr(0, parts.path.find('?')));
    ProtectionSetup* pSetup = nullptr;
    for (auto& setup : pServer->setups) {
        if (TemplateMatches(setup->pathTemplate, path)) {
            pSetup = setup.get();
            break;
        }
    }
    if (pSetup == nullptr)
        return {};
    static const char* const kKnown[] = {"Basic", "Pubkey", "KerberosV4", "KerberosV5"};
    const char* pszChosen = nullptr;
    for (const char* pszScheme : kKnown) {
        for (const std::string& offered : pSetup->schemes) {
            if (EqualsNoCase(offered, pszScheme)) {
                pszChosen = pszScheme;
                break;
            }
        }
        if (pszChosen != nullptr)
            break;
    }
    if (pszChosen == nullptr)
        return {};
    if (std::string_view(pszChosen) != "Basic") {
        Warn("%s %s `%s'", "This client doesn't know how to compose authentication",
             "information for scheme", pszChosen);
        return {};
    }
    const std::string* pRealmName = pSetup->Param("realm");
    if (pRealmName == nullptr)
        return {};
    Realm* pRealm = FindRealm(pServer, *pRealmName);
    if (pRealm == nullptr) {
        auto created = std::make_unique<Realm>();
        created->name = *pRealmName;
        pServer->realms.push_back(std::move(created));
        return {};
    }
    std::string cleartext = pRealm->user.value_or("") + ":" + pRealm->password.value_or("");
    return "Basic " + Base64Encode(cleartext);
}

bool CanAnswer(const std::vector<std::string>& schemes) {
    for (const std::string& scheme : schemes) {
        if (EqualsNoCase(scheme, "Basic"))
            return true;
    }
    return false;
}

void ClearTables() {
    g_proxies.reset();
    g_exceptions.reset();
    g_servers.clear();
}

}  // namespace qn::webnet

using namespace qn::webnet;

extern "C" QNINET_API int QNINetSetProxy(int scheme, const char* proxyURL) {
    return Guard("QNINetSetProxy", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized())
            return kErrNotInitialized;
        if (proxyURL == nullptr || *proxyURL == '\0')
            return kErrBadArgs;
        if (!g_proxies)
            g_proxies.emplace();
        std::string strScheme = SchemeOfSelector(scheme);
        std::string strUrl = ReduceProxyUrl(proxyURL);
        for (ProxyEntry& entry : *g_proxies) {
            if (entry.scheme == strScheme) {
                entry.url = std::move(strUrl);
                return kOk;
            }
        }
        g_proxies->push_back(ProxyEntry{std::move(strScheme), std::move(strUrl)});
        return kOk;
    });
}

extern "C" QNINET_API int QNINetClearProxy(void) {
    return Guard("QNINetClearProxy", QNINET_ERR_LOAD, [&]() -> int {
        if (!g_proxies)
            return 1;
        g_proxies.reset();
        return kOk;
    });
}

extern "C" QNINET_API int QNINetAddProxyException(int scheme, const char* host) {
    return Guard("QNINetAddProxyException", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized())
            return kErrNotInitialized;
        if (host == nullptr || *host == '\0')
            return 1;
        ProxyException ex;
        ex.scheme = SchemeOfSelector(scheme);
        std::string_view text(host);
        if (size_t colon = text.find(':'); colon != std::string_view::npos) {
            ex.host = ToLower(text.substr(0, colon));
            ex.port = atoi(std::string(text.substr(colon + 1)).c_str());
        } else {
            ex.host = ToLower(text);
        }
        if (!g_exceptions)
            g_exceptions.emplace();
        g_exceptions->push_back(std::move(ex));
        return kOk;
    });
}

extern "C" QNINET_API int QNINetClearProxyException(void) {
    return Guard("QNINetClearProxyException", QNINET_ERR_LOAD, [&]() -> int {
        if (!g_exceptions)
            return 1;
        g_exceptions.reset();
        return kOk;
    });
}

extern "C" QNINET_API int QNINetAddRealm(const char* hostAndPort, const char* realm,
                                         const char* user, const char* password) {
    return Guard("QNINetAddRealm", QNINET_ERR_LOAD, [&]() -> int {
        if (!IsInitialized())
            return kErrNotInitialized;
        if (hostAndPort == nullptr || *hostAndPort == '\0' || realm == nullptr || *realm == '\0')
            return kErrBadArgs;
        std::string_view text(hostAndPort);
        std::string_view host = text;
        int port = 80;
        if (size_t colon = text.find(':'); colon != std::string_view::npos) {
            host = text.substr(0, colon);
            port = atoi(std::string(text.substr(colon + 1)).c_str());
            if (port <= 0)
                port = 80;
        }
        Server* pServer = FindServer(host, port);
        if (pServer == nullptr) {
            if (user == nullptr || password == nullptr)
                return kOk;
            pServer = FindOrCreateServer(host, port, nullptr);
        }
        if (Realm* pRealm = FindRealm(pServer, realm)) {
            pRealm->user.reset();
            pRealm->password.reset();
            if (user != nullptr) {
                pRealm->user = user;
                if (password != nullptr)
                    pRealm->password = password;
            }
            return kOk;
        }
        if (user != nullptr && password != nullptr) {
            auto created = std::make_unique<Realm>();
            created->name = realm;
            created->user = user;
            created->password = password;
            pServer->realms.push_back(std::move(created));
        }
        return kOk;
    });
}
