// Library lifetime, URL checks and parsing, and the calls that need no server.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "webtest.h"

using namespace qn::webtest;

extern "C" int WebnetCApiCheck(void);

TEST(WebnetLifetime, PublicHeaderWorksFromPlainC) {
    EXPECT_EQ(0, WebnetCApiCheck());
}

TEST(WebnetLifetime, EveryOperationBeforeInitializeReturns6) {
    char* buffer = nullptr;
    long length = 5;
    char parsed[8];
    EXPECT_EQ(6, QNINetCheckURL("http://127.0.0.1/"));
    EXPECT_EQ(6, QNINetParseURL("http://h/", 0, &length, parsed));
    EXPECT_EQ(6, QNINetSetAsync(nullptr, 0));
    EXPECT_EQ(6, QNINetAsyncContinue(3, QNINET_FD_READ));
    EXPECT_EQ(
        6, QNINetGetPageToFileByName("http://127.0.0.1/", 0, "/nonexistent/x", nullptr, nullptr));
    EXPECT_EQ(6, QNINetGetPageToFileByHandle("http://127.0.0.1/", 0, 1, nullptr, nullptr));
    EXPECT_EQ(6,
              QNINetGetHeadToFileByName("http://127.0.0.1/", "/nonexistent/x", nullptr, nullptr));
    EXPECT_EQ(6, QNINetGetHeadToFileByHandle("http://127.0.0.1/", 1, nullptr, nullptr));
    EXPECT_EQ(6, QNINetGetHeadToBuffer("http://127.0.0.1/", &buffer, 0, &length, nullptr, nullptr));
    EXPECT_EQ(6, QNINetPostFromBufferToBuffer("http://127.0.0.1/", "a", 1, &buffer, 0, &length,
                                              nullptr, nullptr));
    EXPECT_EQ(
        6, QNINetPostFromFileByNameToFileByName("http://127.0.0.1/", "/a", "/b", nullptr, nullptr));
    EXPECT_EQ(6, QNINetPutFromBuffer("http://127.0.0.1/", "a", 1, nullptr, nullptr));
    EXPECT_EQ(6, QNINetPutFromFileByName("http://127.0.0.1/", "/a", nullptr, nullptr));
    EXPECT_EQ(6, QNINetSetProxy(QNINET_SCHEME_HTTP, "http://127.0.0.1:1/"));
    EXPECT_EQ(6, QNINetAddProxyException(QNINET_SCHEME_HTTP, "localhost"));
    EXPECT_EQ(6, QNINetAddRealm("localhost", "R", "u", "p"));
    // The ones that work without the library.
    EXPECT_EQ(0, QNINetTerminate());
    EXPECT_EQ(1, QNINetClearProxy());
    EXPECT_EQ(1, QNINetClearProxyException());
    EXPECT_EQ(0, QNINetCloseAllConnections());
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(0, access("/nonexistent/x", F_OK) == 0 ? 1 : 0);
}

TEST(WebnetLifetime, InitializeTwiceThenTerminateOnceEnds) {
    EXPECT_EQ(0, QNINetInitialize());
    EXPECT_EQ(0, QNINetInitialize());
    EXPECT_EQ(0, QNINetCheckURL("http://x/"));
    EXPECT_EQ(0, QNINetTerminate());
    EXPECT_EQ(6, QNINetCheckURL("http://x/"));
    // And it starts again.
    EXPECT_EQ(0, QNINetInitialize());
    EXPECT_EQ(0, QNINetCheckURL("http://x/"));
    EXPECT_EQ(0, QNINetTerminate());
}

class WebnetApi : public WebnetTest {};

TEST_F(WebnetApi, CheckUrlAcceptsAnyText) {
    EXPECT_EQ(0, QNINetCheckURL("http://127.0.0.1/a"));
    EXPECT_EQ(0, QNINetCheckURL("::::"));
    EXPECT_EQ(0, QNINetCheckURL(""));
    EXPECT_EQ(3, QNINetCheckURL(nullptr));
}

TEST_F(WebnetApi, ParseUrlTable) {
    struct Case {
        const char* url;
        int part;
        const char* expected;
    } cases[] = {
        {"http://www.example.com:8080/a/b.html?q=1#frag", 0, "http"},
        {"http://www.example.com:8080/a/b.html?q=1#frag", 1, "www.example.com:8080"},
        {"http://www.example.com:8080/a/b.html?q=1#frag", 2, "a/b.html?q=1"},
        {"HTTP://Host/", 0, "HTTP"},
        {"HTTP://Host/", 1, "Host"},
        {"HTTP://Host/", 2, ""},
        {"ftp://user:pw@ftp.example.com/pub/file", 1, "user:pw@ftp.example.com"},
        {"ftp://user:pw@ftp.example.com/pub/file", 2, "pub/file"},
        {"http://host", 2, ""},
        {"http://host?x=1", 1, "host"},
        {"mailto:someone@example.com", 0, "mailto"},
        {"mailto:someone@example.com", 2, "someone@example.com"},
        {"relative/path.html", 0, ""},
        {"relative/path.html", 2, "relative/path.html"},
        {"/abs/path", 1, ""},
        {"/abs/path", 2, "abs/path"},
        {"", 0, ""},
    };
    for (const Case& c : cases) {
        char buffer[128];
        memset(buffer, 'Z', sizeof buffer);
        long length = sizeof buffer;
        EXPECT_EQ(0, QNINetParseURL(c.url, c.part, &length, buffer)) << c.url;
        EXPECT_STREQ(c.expected, buffer) << c.url << " part " << c.part;
        EXPECT_EQ(static_cast<long>(strlen(c.expected)), length) << c.url;
    }
}

TEST_F(WebnetApi, ParseUrlShortBufferGetsUnterminatedPrefixAndFullLength) {
    char buffer[8];
    memset(buffer, 'Z', sizeof buffer);
    long length = 3;
    EXPECT_EQ(0, QNINetParseURL("https://example.com/", 0, &length, buffer));
    EXPECT_EQ(5, length);
    EXPECT_EQ(0, memcmp(buffer, "httZ", 4));  // three bytes, no terminator
    // Exactly fitting: not terminated either.
    memset(buffer, 'Z', sizeof buffer);
    length = 5;
    EXPECT_EQ(0, QNINetParseURL("https://example.com/", 0, &length, buffer));
    EXPECT_EQ(0, memcmp(buffer, "httpsZ", 6));
    // Zero size: nothing written.
    memset(buffer, 'Z', sizeof buffer);
    length = 0;
    EXPECT_EQ(0, QNINetParseURL("https://example.com/", 1, &length, buffer));
    EXPECT_EQ(11, length);
    EXPECT_EQ('Z', buffer[0]);
}

TEST_F(WebnetApi, ParseUrlBadArguments) {
    char buffer[8];
    long length = sizeof buffer;
    EXPECT_EQ(16, QNINetParseURL("http://h/", 3, &length, buffer));
    EXPECT_EQ(16, QNINetParseURL("http://h/", -1, &length, buffer));
    EXPECT_EQ(16, QNINetParseURL("http://h/", 0, nullptr, buffer));
    EXPECT_EQ(16, QNINetParseURL("http://h/", 0, &length, nullptr));
    buffer[0] = 'Z';
    EXPECT_EQ(3, QNINetParseURL(nullptr, 0, &length, buffer));
    EXPECT_EQ('\0', buffer[0]);
}

TEST_F(WebnetApi, UnsupportedSchemesAreRefusedWith3) {
    const std::string out = m_tmp.file("out");
    struct Case {
        const char* url;
        int method;  // 1 GET, 2 HEAD, 4 POST
    } cases[] = {
        {"gopher://127.0.0.1/", 1}, {"file:///etc/passwd", 1},
        {"mailto:x@y", 1},          {"no scheme at all", 1},
        {"httpx://127.0.0.1/", 1},  {"ftp://127.0.0.1/f", 2},
        {"ftp://127.0.0.1/f", 4},   {"", 1},
    };
    for (const Case& c : cases) {
        Recorder rec;
        int result = 0;
        if (c.method == 1) {
            result = QNINetGetPageToFileByName(c.url, 0, out.c_str(), Recorder::Callback, &rec);
            // The output file is created even so, and empty.
            EXPECT_EQ(0, access(out.c_str(), F_OK)) << c.url;
        } else if (c.method == 2) {
            result = QNINetGetHeadToFileByName(c.url, out.c_str(), Recorder::Callback, &rec);
        } else {
            char* buffer = nullptr;
            long length = 7;
            result = QNINetPostFromBufferToBuffer(c.url, "x", 1, &buffer, 0, &length,
                                                  Recorder::Callback, &rec);
            EXPECT_EQ(0, length);
            EXPECT_EQ(nullptr, buffer);
        }
        EXPECT_EQ(3, result) << c.url;
        EXPECT_TRUE(rec.codes.empty()) << c.url;
        unlink(out.c_str());
    }
}

TEST_F(WebnetApi, OutputFileThatCannotBeCreatedGives5) {
    EXPECT_EQ(5, QNINetGetPageToFileByName("http://127.0.0.1:9/", 0, "/nonexistent-dir/out",
                                           nullptr, nullptr));
    EXPECT_EQ(5, QNINetGetHeadToFileByName("http://127.0.0.1:9/", m_tmp.path().c_str(), nullptr,
                                           nullptr));
    EXPECT_EQ(5, QNINetGetPageToFileByName("http://127.0.0.1:9/", 0, "", nullptr, nullptr));
    EXPECT_EQ(5, QNINetGetPageToFileByName("http://127.0.0.1:9/", 0, nullptr, nullptr, nullptr));
}

TEST_F(WebnetApi, HandleThatCannotBeRewoundGives4) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    EXPECT_EQ(4, QNINetGetPageToFileByHandle("http://127.0.0.1:9/", 0, fds[1], nullptr, nullptr));
    EXPECT_EQ(4, QNINetGetHeadToFileByHandle("http://127.0.0.1:9/", -1, nullptr, nullptr));
    close(fds[0]);
    close(fds[1]);
}

TEST_F(WebnetApi, NullArgumentsGive16) {
    long length = 0;
    char* buffer = nullptr;
    EXPECT_EQ(16,
              QNINetGetHeadToBuffer("http://127.0.0.1:9/", nullptr, 0, &length, nullptr, nullptr));
    EXPECT_EQ(16,
              QNINetGetHeadToBuffer("http://127.0.0.1:9/", &buffer, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(16, QNINetPutFromBuffer("http://127.0.0.1:9/", nullptr, 5, nullptr, nullptr));
    EXPECT_EQ(16, QNINetPutFromFileByName("http://127.0.0.1:9/", nullptr, nullptr, nullptr));
    EXPECT_EQ(16, QNINetPostFromFileByNameToFileByName("http://127.0.0.1:9/", nullptr,
                                                       m_tmp.file("o").c_str(), nullptr, nullptr));
    long socket = 0;
    EXPECT_EQ(16, QNINetGetSocketNumber(nullptr, &socket));
    EXPECT_EQ(16, QNINetCloseConnection(nullptr));
    // A pointer that is no live request is refused, never followed.
    int notARequest = 0;
    EXPECT_EQ(16, QNINetGetSocketNumber(reinterpret_cast<HTRequest*>(&notARequest), &socket));
}

TEST_F(WebnetApi, AsyncContinueForUnknownSocketGives21) {
    EXPECT_EQ(21, QNINetAsyncContinue(12345, QNINET_FD_READ));
    EXPECT_EQ(0, QNINetAsyncContinue(12345, QNINET_FD_CLOSE));
    EXPECT_EQ(0, QNINetAsyncContinue(12345, QNINET_MAKE_EVENT(QNINET_FD_CLOSE, 104)));
    // The descriptor was not touched: stdin stays open.
    EXPECT_EQ(0, QNINetAsyncContinue(0, QNINET_MAKE_EVENT(QNINET_FD_CLOSE, 104)));
    EXPECT_NE(-1, fcntl(0, F_GETFD));
}
