// The pure parsers and formatters under the loader, case by case.
#include <gtest/gtest.h>

#include "protocol.h"
#include "url.h"

using namespace qn::webnet;

TEST(WebnetProtocol, StatusLines) {
    struct Case {
        const char* line;
        bool fHttp;
        int status;
        const char* reason;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\n", true, 200, "OK"},
        {"http/1.1 404 Not Found\n", true, 404, "Not Found"},
        {"HTTP/1.0 302\r\n", true, 302, ""},
        {"HTTP/1.0\r\n", true, 0, ""},
        {"HTTP/1.0  301  Moved  Permanently\r\n", true, 301, "Moved  Permanently"},
        {"HTTP/1.0 abc\r\n", true, 0, "abc"},
        {"HTTP/1.0 99999999999999 x", true, 999999999, "99999 x"},
        {"HTTX/1.0 200 OK", false, 0, ""},
        {"<html>", false, 0, ""},
        {"HTTP", false, 0, ""},
        {"", false, 0, ""},
    };
    for (const Case& c : cases) {
        StatusLine status = ParseStatusLine(c.line);
        EXPECT_EQ(c.fHttp, status.fHttp) << c.line;
        EXPECT_EQ(c.status, status.nStatus) << c.line;
        if (c.fHttp) {
            EXPECT_EQ(c.reason, std::string(status.reason)) << c.line;
        }
    }
}

TEST(WebnetProtocol, HeaderLines) {
    std::string_view name, value;
    ASSERT_TRUE(ParseHeaderLine("Location:  /next \r\n", &name, &value));
    EXPECT_EQ("Location", name);
    EXPECT_EQ("/next", value);
    ASSERT_TRUE(ParseHeaderLine("X-Empty:\r\n", &name, &value));
    EXPECT_EQ("", value);
    ASSERT_TRUE(ParseHeaderLine("Time: 12:30:00\n", &name, &value));
    EXPECT_EQ("12:30:00", value);
    EXPECT_FALSE(ParseHeaderLine("no colon here\r\n", &name, &value));
    EXPECT_FALSE(ParseHeaderLine(": no name\r\n", &name, &value));
}

TEST(WebnetProtocol, Challenges) {
    std::vector<Challenge> out;
    ParseChallenges(R"(Basic realm="Our \"Site\"", charset=UTF-8, Digest realm="D", nonce=abc)",
                    &out);
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ("Basic", out[0].scheme);
    ASSERT_EQ(2u, out[0].params.size());
    EXPECT_EQ("realm", out[0].params[0].first);
    EXPECT_EQ("Our \"Site\"", out[0].params[0].second);
    EXPECT_EQ("charset", out[0].params[1].first);
    EXPECT_EQ("UTF-8", out[0].params[1].second);
    EXPECT_EQ("Digest", out[1].scheme);
    EXPECT_EQ("nonce", out[1].params[1].first);
    out.clear();
    ParseChallenges("Basic REALM=r", &out);
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ("realm", out[0].params[0].first);  // names in lower case
    out.clear();
    ParseChallenges("=x, \"unterminated", &out);
    EXPECT_TRUE(out.empty() || !out[0].scheme.empty());
}

TEST(WebnetProtocol, Base64) {
    EXPECT_EQ("", Base64Encode(""));
    EXPECT_EQ("Og==", Base64Encode(":"));
    EXPECT_EQ("dTo=", Base64Encode("u:"));
    EXPECT_EQ("dTpw", Base64Encode("u:p"));
    EXPECT_EQ("QWxhZGRpbjpvcGVuIHNlc2FtZQ==", Base64Encode("Aladdin:open sesame"));
    EXPECT_EQ("/w==", Base64Encode("\xff"));
}

TEST(WebnetProtocol, HttpDates) {
    EXPECT_EQ("Thu, 01 Jan 1970 00:00:00 GMT", FormatHttpDate(0));
    EXPECT_EQ("Sun, 06 Nov 1994 08:49:37 GMT", FormatHttpDate(784111777));
    EXPECT_EQ("Tue, 14 Nov 2023 22:13:20 GMT", FormatHttpDate(1700000000));
}

TEST(WebnetProtocol, RequestHeaderOrder) {
    RequestHeaderInput input;
    input.host = "example.com:8080";
    input.authorization = "Basic dTpw";
    input.fHasBody = true;
    input.cbContentLength = 12;
    input.ifModifiedSince = 784111777;
    EXPECT_EQ((std::vector<std::string>{
                  "Host: example.com:8080", "Accept: text/html", "Accept: text/plain",
                  "Authorization: Basic dTpw", "Pragma: no-cache",
                  "User-Agent: webnet32.DLL/3.1 libwww/3.1", "Content-Length: 12", "Accept: */*",
                  "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT"}),
              ComposeRequestHeaders(input));
}

TEST(WebnetProtocol, ErrorTableOfStatuses) {
    EXPECT_EQ(0, ErrorTableIndexOfStatus(200));
    EXPECT_EQ(8, ErrorTableIndexOfStatus(304));
    EXPECT_EQ(10, ErrorTableIndexOfStatus(401));
    EXPECT_EQ(13, ErrorTableIndexOfStatus(404));
    EXPECT_EQ(22, ErrorTableIndexOfStatus(504));
    EXPECT_EQ(-1, ErrorTableIndexOfStatus(409));
    EXPECT_EQ(-1, ErrorTableIndexOfStatus(0));
}

TEST(WebnetProtocol, HostAndPort) {
    struct Case {
        const char* host;
        const char* name;
        int port;
    } cases[] = {
        {"Example.COM", "example.com", 0},
        {"example.com:8080", "example.com", 8080},
        {"u:p@host:21", "host", 21},
        {"[::1]:8080", "[::1]", 8080},
        {"[::1]", "[::1]", 0},
        {"host:99999", "host", 0},
        {"host:", "host", 0},
        {"host:8x", "host", 0},
    };
    for (const Case& c : cases) {
        HostPort hp = SplitHostPort(c.host);
        EXPECT_EQ(c.name, hp.name) << c.host;
        EXPECT_EQ(c.port, hp.port) << c.host;
    }
}
