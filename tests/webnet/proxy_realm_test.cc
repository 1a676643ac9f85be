// Proxy table, proxy exceptions and realms, against scripted servers and tinyproxy. Host names
// under "localhost" resolve to 127.0.0.1 without any name server.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "webtest.h"

using namespace qn::webtest;

namespace {

class ProxyRealm : public WebnetTest {
  protected:
    void SetUp() override {
        WebnetTest::SetUp();
        ASSERT_TRUE(m_server.Start());
        ASSERT_TRUE(m_proxy.Start());
    }
    std::string ProxyUrl() const { return "http://127.0.0.1:" + std::to_string(m_proxy.port()); }
    int Get(const std::string& url, Recorder* pRec = nullptr) {
        return QNINetGetPageToFileByName(url.c_str(), 0, m_tmp.file("out").c_str(),
                                         pRec ? Recorder::Callback : nullptr, pRec);
    }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_server.port()); }
    ScriptedServer m_server;
    ScriptedServer m_proxy;  // a scripted server standing in as proxy: it records the request
};

}  // namespace

TEST_F(ProxyRealm, ProxiedRequestLineCarriesTheFullUrl) {
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_HTTP, (ProxyUrl() + "/some/path").c_str()));
    const std::string url = "http://www.localhost/ok";
    EXPECT_EQ(0, Get(url));
    EXPECT_EQ("hello", Slurp(m_tmp.file("out")));
    EXPECT_EQ(
        "GET http://www.localhost/ok HTTP/1.0\r\nHost: www.localhost\r\n"
        "Accept: text/html\r\nAccept: text/plain\r\nPragma: no-cache\r\n"
        "User-Agent: webnet32.DLL/3.1 libwww/3.1\r\nAccept: */*\r\n\r\n",
        m_proxy.Request(1));
}

TEST_F(ProxyRealm, SettingAProxyTwiceKeepsTheSecond) {
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_HTTP,
                                ("http://127.0.0.1:" + std::to_string(FreePort())).c_str()));
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_HTTP, ProxyUrl().c_str()));
    EXPECT_EQ(0, Get("http://www.localhost/ok"));
    EXPECT_EQ(1, m_proxy.RequestCount());
    // An FTP proxy is not used for HTTP, an unknown selector never matches.
    EXPECT_EQ(0, QNINetClearProxy());
    EXPECT_EQ(1, QNINetClearProxy());
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_FTP, ProxyUrl().c_str()));
    ASSERT_EQ(0, QNINetSetProxy(7, ProxyUrl().c_str()));
    EXPECT_EQ(0, Get(m_server.Url("/ok")));
    EXPECT_EQ(1, m_proxy.RequestCount());
    EXPECT_EQ(1, m_server.RequestCount());
}

TEST_F(ProxyRealm, ExceptionTable) {
    // Requests that bypass the proxy connect directly, so every direct case names 127.0.0.1
    // itself (a name under "localhost" may also resolve to ::1). "0.0.1" is a suffix of
    // "127.0.0.1" after a dot; "27.0.0.1" only ends in the same letters.
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_HTTP, ProxyUrl().c_str()));
    const std::string port = std::to_string(m_server.port());
    const std::string withPort = "http://127.0.0.1:" + port + "/ok";
    struct Case {
        std::string exception;
        int scheme;
        std::string url;
        bool proxied;
    } cases[] = {
        {"127.0.0.1:" + port, QNINET_SCHEME_HTTP, withPort, false},
        {"0.0.1:" + port, QNINET_SCHEME_HTTP, withPort, false},
        {"0.0.1:" + port, QNINET_SCHEME_HTTP, "HTTP://127.0.0.1:" + port + "/ok", false},
        {"27.0.0.1:" + port, QNINET_SCHEME_HTTP, withPort, true},
        {"0.0.1", QNINET_SCHEME_HTTP, withPort, true},  // port 0: only URLs without a port
        {"0.0.1:" + port, QNINET_SCHEME_FTP, withPort, true},
        {"0.0.1:" + port, QNINET_SCHEME_HTTP, "http://www.example.localhost/x", true},
        {"example.localhost", QNINET_SCHEME_HTTP, "http://wwwexample.localhost/x", true},
        {"example.localhost", QNINET_SCHEME_HTTP, "http://www.example.localhost:8080/x", true},
        {"example.localhost:8080", QNINET_SCHEME_HTTP, "http://www.example.localhost/x", true},
        {"example.localhost", QNINET_SCHEME_FTP, "http://www.example.localhost/x", true},
    };
    int proxied = 0;
    int direct = 0;
    for (const Case& c : cases) {
        ASSERT_EQ(0, QNINetAddProxyException(c.scheme, c.exception.c_str()));
        Get(c.url);
        if (c.proxied)
            ++proxied;
        else
            ++direct;
        EXPECT_EQ(proxied, m_proxy.RequestCount()) << c.exception << " " << c.url;
        EXPECT_EQ(direct, m_server.RequestCount()) << c.exception << " " << c.url;
        EXPECT_EQ(0, QNINetClearProxyException());
    }
    EXPECT_EQ(1, QNINetClearProxyException());
    EXPECT_EQ(1, QNINetAddProxyException(QNINET_SCHEME_HTTP, ""));
    EXPECT_EQ(1, QNINetAddProxyException(QNINET_SCHEME_HTTP, nullptr));
}

TEST_F(ProxyRealm, ThroughTinyproxy) {
    TinyProxy tiny;
    ASSERT_TRUE(tiny.Start());
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_HTTP,
                                ("http://127.0.0.1:" + std::to_string(tiny.port()) + "/").c_str()));
    Recorder rec;
    EXPECT_EQ(0, Get(m_server.Url("/ok"), &rec));
    EXPECT_EQ("hello", Slurp(m_tmp.file("out")));
    EXPECT_EQ(2000, rec.Last());
    // The proxy passed our request on: path form, our header lines.
    const std::string request = m_server.Request(1);
    EXPECT_EQ(0, request.find("GET /ok HTTP/1.0\r\n"));
    EXPECT_NE(std::string::npos, request.find("User-Agent: webnet32.DLL/3.1 libwww/3.1\r\n"));
    // Errors come back through the proxy as they are.
    EXPECT_EQ(35, Get(m_server.Url("/missing")));
    // A proxy that refuses connections.
    QNINetSetProxy(QNINET_SCHEME_HTTP, ("http://127.0.0.1:" + std::to_string(FreePort())).c_str());
    EXPECT_EQ(65, Get(m_server.Url("/ok")));
}

TEST_F(ProxyRealm, AddRealmArguments) {
    EXPECT_EQ(16, QNINetAddRealm("", "R", "u", "p"));
    EXPECT_EQ(16, QNINetAddRealm(nullptr, "R", "u", "p"));
    EXPECT_EQ(16, QNINetAddRealm("h", "", "u", "p"));
    EXPECT_EQ(16, QNINetAddRealm("h", nullptr, "u", "p"));
    EXPECT_EQ(0, QNINetAddRealm("h", "R", nullptr, nullptr));
}

TEST_F(ProxyRealm, UserWithoutPasswordOnAnExistingRealmSendsUserAndEmptyPassword) {
    ASSERT_EQ(0, QNINetAddRealm(HostPort().c_str(), "R", "u", "p"));
    ASSERT_EQ(0, QNINetAddRealm(HostPort().c_str(), "r", "u", nullptr));  // same realm
    Recorder rec;
    EXPECT_EQ(0, Get(m_server.Url("/auth/u//x"), &rec));
    EXPECT_EQ("secret", Slurp(m_tmp.file("out")));
    EXPECT_NE(std::string::npos, m_server.Request(2).find("Authorization: Basic dTo=\r\n"));
}

TEST_F(ProxyRealm, UserWithoutPasswordOnANewRealmAddsNothing) {
    ASSERT_EQ(0, QNINetAddRealm(HostPort().c_str(), "R", "u", nullptr));
    Recorder rec;
    EXPECT_EQ(32, Get(m_server.Url("/auth/u//x"), &rec));
    // The retries carried the empty record's ":" only.
    EXPECT_NE(std::string::npos, m_server.Request(2).find("Authorization: Basic Og==\r\n"));
}

TEST_F(ProxyRealm, RealmForHostWithoutPortIsForPort80Only) {
    ASSERT_EQ(0, QNINetAddRealm("127.0.0.1", "R", "u", "p"));
    Recorder rec;
    rec.nZeroAt = 5;
    EXPECT_EQ(32, Get(m_server.Url("/auth/u/p/x"), &rec));
    ASSERT_EQ(0, QNINetAddRealm(HostPort().c_str(), "R", "u", "p"));
    Recorder again;
    EXPECT_EQ(0, Get(m_server.Url("/auth/u/p/x"), &again));
}

TEST_F(ProxyRealm, GetRealmInfoSizes) {
    Recorder rec;
    int before = -1;
    rec.action = [&](int code, HTRequest* request) {
        unsigned long hostSize = 0, realmSize = 0;
        if (code == 2 && before == -1)
            before = QNINetGetRealmInfo(request, nullptr, &hostSize, nullptr, &realmSize);
        if (code == 5) {
            char realm[4] = "ZZZ";
            char host[4] = "ZZZ";
            realmSize = 0;
            hostSize = sizeof host;
            EXPECT_EQ(0, QNINetGetRealmInfo(request, host, &hostSize, realm, &realmSize));
            EXPECT_EQ(2u, realmSize);                    // needed size
            EXPECT_STREQ("ZZZ", realm);                  // nothing copied
            EXPECT_EQ(HostPort().size() + 1, hostSize);  // needed size
            EXPECT_STREQ("ZZZ", host);                   // did not fit
            EXPECT_EQ(1, QNINetGetRealmInfo(request, host, nullptr, realm, &realmSize));
            return 0;
        }
        return 1;
    };
    EXPECT_EQ(32, Get(m_server.Url("/auth/a/b/c"), &rec));
    EXPECT_EQ(1, before);  // no realm yet before the 401
}

TEST_F(ProxyRealm, UnknownAuthenticationSchemeSendsNoHeaderAndEndsWith32) {
    m_server.SetRaw("digest",
                    "HTTP/1.0 401 Unauthorized\r\n"
                    "WWW-Authenticate: Digest realm=\"D\", nonce=\"abc\"\r\n\r\n");
    QNINetAddRealm(HostPort().c_str(), "D", "u", "p");
    Recorder rec;
    EXPECT_EQ(32, Get(m_server.Url("/raw/digest"), &rec));
    // Credentials that cannot be sent are never asked for: the load ends at once.
    EXPECT_EQ(1, m_server.RequestCount());
    EXPECT_EQ(std::string::npos, m_server.Request(1).find("Authorization"));
    EXPECT_EQ(rec.codes.end(), std::find(rec.codes.begin(), rec.codes.end(), 5));
    EXPECT_EQ(2034, rec.Last());
}

TEST_F(ProxyRealm, TheEnvironmentNeverChangesWhereARequestGoes) {
    // A proxy named by the environment is not used, and no_proxy does not bypass the table's.
    const std::string unused = "http://127.0.0.1:" + std::to_string(FreePort());
    for (const char* pszName : {"http_proxy", "HTTP_PROXY", "https_proxy", "all_proxy"})
        setenv(pszName, unused.c_str(), 1);
    EXPECT_EQ(0, Get(m_server.Url("/ok")));
    EXPECT_EQ(1, m_server.RequestCount());
    setenv("no_proxy", "*", 1);
    setenv("NO_PROXY", "*", 1);
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_HTTP, ProxyUrl().c_str()));
    EXPECT_EQ(0, Get(m_server.Url("/ok")));
    EXPECT_EQ(1, m_proxy.RequestCount());
    EXPECT_EQ(1, m_server.RequestCount());
}

TEST_F(ProxyRealm, FtpThroughAnHttpProxyIsAnHttpRequest) {
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_FTP, ProxyUrl().c_str()));
    Recorder rec;
    EXPECT_EQ(35, Get("ftp://files.localhost/pub/file.txt", &rec));  // the proxy says 404
    EXPECT_EQ(2037, rec.Last());
    EXPECT_EQ(
        "GET ftp://files.localhost/pub/file.txt HTTP/1.0\r\nHost: files.localhost\r\n"
        "Accept: text/html\r\nAccept: text/plain\r\nPragma: no-cache\r\n"
        "User-Agent: webnet32.DLL/3.1 libwww/3.1\r\nAccept: */*\r\n\r\n",
        m_proxy.Request(1));
}

TEST_F(ProxyRealm, ProxyHostThatCannotBeLocatedGives19) {
    // A proxy URL without a host name: nothing to look up, so no name server is asked.
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_HTTP, "http://:1/"));
    Recorder rec;
    EXPECT_EQ(19, Get("http://www.localhost/ok", &rec));
    EXPECT_EQ(2021, rec.Last());
    EXPECT_EQ(1, rec.Completions());
    EXPECT_EQ(0, m_proxy.RequestCount());
    // Without a proxy, a URL without a host name ends with 47 (no host name).
    EXPECT_EQ(0, QNINetClearProxy());
    EXPECT_EQ(47, Get("http:///ok"));
}
