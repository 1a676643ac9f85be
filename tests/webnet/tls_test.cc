// HTTPS against nginx with certificates of a private CA made by openssl: trust, refused
// handshakes, credentials that never leave TLS, and HTTPS through proxies.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "webtest.h"

using namespace qn::webtest;

namespace {

// The status routine of a user who gives "u"/"p" for whatever realm a server asks for.
struct Supplier {
    std::string host;  // what QNINetGetRealmInfo reported
    int nCalls = 0;
    static int Callback(int code, HTRequest* request, void* userData) {
        auto* self = static_cast<Supplier*>(userData);
        if (code != QNINET_PROGRESS_CREDENTIALS)
            return 1;
        ++self->nCalls;
        char host[256] = "";
        char realm[256] = "";
        unsigned long hostSize = sizeof host;
        unsigned long realmSize = sizeof realm;
        if (QNINetGetRealmInfo(request, host, &hostSize, realm, &realmSize) != 0)
            return 0;
        self->host = host;
        return QNINetAddRealm(host, realm, "u", "p") == 0;
    }
};

// A status routine that refuses to give credentials.
int Refuse(int code, HTRequest* /*request*/, void* /*userData*/) {
    return code == QNINET_PROGRESS_CREDENTIALS ? 0 : 1;
}

const char kProtected[] =
    "    location /secret/ { auth_basic \"Vault\"; auth_basic_user_file %s; }\n";

bool CanBind(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool fOk = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return fOk;
}

class Tls : public WebnetTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(MakeTestCertificates(m_certs.path()));
        setenv("QUILLON_WEBNET_CA_FILE", m_certs.file("ca.pem").c_str(), 1);
        WebnetTest::SetUp();
    }
    // Starts nginx over TLS with the given certificate and /secret/ protected by Basic.
    void StartTls(NginxServer* pNginx, const char* pszCert) {
        pNginx->SetTls(m_certs.file(pszCert), m_certs.file("server.key"));
        Protect(pNginx);
        ASSERT_TRUE(pNginx->Start());
        qn::test::WriteFile(pNginx->Root() + "/page.html", "tls page");
    }
    void Protect(NginxServer* pNginx) {
        const std::string users = PlainPasswordFile(pNginx->dir().file("users"), "u", "p");
        char szConf[512];
        snprintf(szConf, sizeof szConf, kProtected, users.c_str());
        pNginx->SetServerConf(szConf);
        mkdir((pNginx->Root()).c_str(), 0755);
        mkdir((pNginx->Root() + "/secret").c_str(), 0755);
        qn::test::WriteFile(pNginx->Root() + "/secret/x.html", "secret page");
    }
    int Get(const std::string& url, QNINetCallback pfn = nullptr, void* pData = nullptr) {
        return QNINetGetPageToFileByName(url.c_str(), 0, m_tmp.file("out").c_str(), pfn, pData);
    }
    qn::test::TempDir m_certs;
};

}  // namespace

TEST_F(Tls, PrivateCaIsTrustedAndBadCertificatesAreRefusedSayingWhy) {
    const struct {
        const char* pszCert;  // nullptr: nginx speaks plain HTTP
        int nResult;
        const char* pszWhy;
    } cases[] = {
        {"good.pem", 0, ""},
        {"expired.pem", 53, "certificate has expired"},
        {"wrongname.pem", 53, "certificate is not valid for this host name"},
        {"selfsigned.pem", 53, "self-signed certificate"},
        {nullptr, 53, "not a TLS server"},
    };
    for (const auto& c : cases) {
        NginxServer nginx;
        if (c.pszCert != nullptr) {
            StartTls(&nginx, c.pszCert);
        } else {
            ASSERT_TRUE(nginx.Start());
            qn::test::WriteFile(nginx.Root() + "/page.html", "plain page");
        }
        const std::string url = "https://127.0.0.1:" + std::to_string(nginx.port()) + "/page.html";
        Recorder rec;
        std::string why = "unset";
        rec.action = [&](int code, HTRequest* request) {
            if (code >= QNINET_DONE_LOADED) {
                char szText[256] = "";
                unsigned long cbText = sizeof szText;
                EXPECT_EQ(0, QNINetGetErrorText(request, szText, &cbText));
                why = szText;
            }
            return 1;
        };
        const char* pszName = c.pszCert != nullptr ? c.pszCert : "plain";
        EXPECT_EQ(c.nResult, Get(url, Recorder::Callback, &rec)) << pszName;
        EXPECT_EQ(c.nResult == 0 ? 2000 : 2002 + c.nResult, rec.Last()) << pszName;
        EXPECT_EQ(c.nResult == 0 ? "tls page" : "", Slurp(m_tmp.file("out"))) << pszName;
        EXPECT_EQ(c.pszWhy, why) << pszName;
    }
    // Without the setting the private CA is unknown.
    ASSERT_EQ(0, QNINetTerminate());
    unsetenv("QUILLON_WEBNET_CA_FILE");
    ASSERT_EQ(0, QNINetInitialize());
    NginxServer nginx;
    StartTls(&nginx, "good.pem");
    Recorder rec;
    std::string why;
    rec.action = [&](int code, HTRequest* request) {
        unsigned long cbText = 0;
        if (code >= QNINET_DONE_LOADED && QNINetGetErrorText(request, nullptr, &cbText) == 0) {
            std::string text(cbText, '\0');
            QNINetGetErrorText(request, text.data(), &cbText);
            why = text.c_str();
        }
        return 1;
    };
    EXPECT_EQ(53, Get(nginx.Url("/page.html"), Recorder::Callback, &rec));
    EXPECT_EQ("unknown certificate authority", why);
    unsigned long cbText = 0;
    EXPECT_EQ(1, QNINetGetErrorText(rec.requests.front(), nullptr, &cbText));  // gone
}

TEST_F(Tls, CredentialsOfAnHttpsServerNeverGoToPlainHttpOnTheSamePort) {
    NginxServer nginx;
    StartTls(&nginx, "good.pem");
    Supplier supplier;
    EXPECT_EQ(0, Get(nginx.Url("/secret/x.html"), Supplier::Callback, &supplier));
    EXPECT_EQ("secret page", Slurp(m_tmp.file("out")));
    EXPECT_EQ("127.0.0.1:" + std::to_string(nginx.port()), supplier.host);
    // The same host and port named by a plain-HTTP URL: nginx answers 400 to the clear text,
    // which must not carry the credentials.
    const std::string plain = "http://127.0.0.1:" + std::to_string(nginx.port()) + "/secret/x.html";
    EXPECT_EQ(31, Get(plain, Refuse, nullptr));
    qn::test::WaitFor([&] { return nginx.AccessLog().find("|400") != std::string::npos; }, 3000);
    const std::string log = nginx.AccessLog();
    const size_t lastLine = log.rfind('\n', log.size() - 2);
    ASSERT_NE(std::string::npos, lastLine) << log;
    EXPECT_NE(std::string::npos, log.find("GET /secret/x.html HTTP/1.0|Basic dTpw")) << log;
    EXPECT_EQ(std::string::npos, log.find("Basic", lastLine)) << log;
}

TEST_F(Tls, HttpsWithoutPortIsServer443ForRealmsAndCredentials) {
    // The reproduction on the real default ports; it needs them free and bindable.
    if (!CanBind(443) || !CanBind(80))
        GTEST_SKIP() << "ports 80 and 443 on 127.0.0.1 are not available";
    NginxServer tls, plain;
    tls.SetPort(443);
    StartTls(&tls, "good.pem");
    plain.SetPort(80);
    Protect(&plain);
    ASSERT_TRUE(plain.Start());
    Supplier supplier;
    EXPECT_EQ(0, Get("https://127.0.0.1/secret/x.html", Supplier::Callback, &supplier));
    EXPECT_EQ("127.0.0.1:443", supplier.host);
    EXPECT_EQ(32, Get("http://127.0.0.1/secret/x.html", Refuse, nullptr));
    qn::test::WaitFor([&] { return plain.AccessLog().find("|401") != std::string::npos; }, 3000);
    EXPECT_EQ(std::string::npos, plain.AccessLog().find("Basic")) << plain.AccessLog();
    // Credentials given for "127.0.0.1:443" are those of the HTTPS server without a port.
    ASSERT_EQ(0, QNINetTerminate());
    ASSERT_EQ(0, QNINetInitialize());
    ASSERT_EQ(0, QNINetAddRealm("127.0.0.1:443", "Vault", "u", "p"));
    Supplier again;
    EXPECT_EQ(0, Get("https://127.0.0.1/secret/x.html", Supplier::Callback, &again));
    EXPECT_EQ(32, Get("http://127.0.0.1/secret/x.html", Refuse, nullptr));
    EXPECT_EQ(std::string::npos, plain.AccessLog().find("Basic")) << plain.AccessLog();
}

TEST_F(Tls, RedirectionFromHttpsToHttpDropsCredentials) {
    ScriptedServer server;
    ASSERT_TRUE(server.Start());
    const std::string hostPort = "127.0.0.1:" + std::to_string(server.port());
    ASSERT_EQ(0, QNINetAddRealm(hostPort.c_str(), "R", "u", "p"));
    NginxServer nginx;
    nginx.SetTls(m_certs.file("good.pem"), m_certs.file("server.key"));
    nginx.SetServerConf("    location /go { return 302 " + server.Url("/auth/u/p/x") + "; }\n");
    ASSERT_TRUE(nginx.Start());
    Recorder rec;
    EXPECT_EQ(32, Get(nginx.Url("/go"), Recorder::Callback, &rec));
    ASSERT_GE(server.RequestCount(), 1);
    for (int i = 1; i <= server.RequestCount(); ++i)
        EXPECT_EQ(std::string::npos, server.Request(i).find("Authorization")) << i;
    // Directly, plain HTTP is what the realm was given for.
    EXPECT_EQ(0, Get(server.Url("/auth/u/p/x")));
}

TEST_F(Tls, HttpsGoesThroughTheHttpProxyAsATunnel) {
    NginxServer nginx;
    StartTls(&nginx, "good.pem");
    TinyProxy tiny;
    tiny.SetLogLevel("Info");
    ASSERT_TRUE(tiny.Start());
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_HTTP,
                                ("http://127.0.0.1:" + std::to_string(tiny.port())).c_str()));
    Recorder rec;
    EXPECT_EQ(0, Get(nginx.Url("/page.html"), Recorder::Callback, &rec));
    EXPECT_EQ("tls page", Slurp(m_tmp.file("out")));
    EXPECT_EQ(2000, rec.Last());
    const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(nginx.port());
    EXPECT_TRUE(
        qn::test::WaitFor([&] { return tiny.Log().find(connect) != std::string::npos; }, 3000))
        << tiny.Log();
    // nginx logs a request after it answered.
    EXPECT_TRUE(qn::test::WaitFor(
        [&] { return nginx.AccessLog().find("GET /page.html HTTP/1.0|-") != std::string::npos; },
        3000))
        << nginx.AccessLog();

    // An HTTPS proxy of its own comes first: a scripted server standing in for it records the
    // CONNECT and refuses it.
    ScriptedServer refusing;
    ASSERT_TRUE(refusing.Start());
    ASSERT_EQ(0, QNINetSetProxy(QNINET_SCHEME_HTTPS,
                                ("http://127.0.0.1:" + std::to_string(refusing.port())).c_str()));
    EXPECT_NE(0, Get(nginx.Url("/page.html")));
    EXPECT_EQ(0u, refusing.Request(1).find(connect + " HTTP/1.1\r\n"));

    // An exception given for HTTP holds for HTTPS: direct, no proxy asked.
    ASSERT_EQ(0, QNINetAddProxyException(QNINET_SCHEME_HTTP,
                                         ("127.0.0.1:" + std::to_string(nginx.port())).c_str()));
    EXPECT_EQ(0, Get(nginx.Url("/page.html")));
    EXPECT_EQ(1, refusing.RequestCount());
}
