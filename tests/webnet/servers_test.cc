// webnet against nginx (GET, HEAD, If-Modified-Since on a real Last-Modified) and an FTP server
// (pyftpdlib: GET and PUT).
#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>

#include "webtest.h"

using namespace qn::webtest;

namespace {

class Nginx : public WebnetTest {
  protected:
    void SetUp() override {
        WebnetTest::SetUp();
        ASSERT_TRUE(m_nginx.Start());
        qn::test::WriteFile(m_nginx.Root() + "/page.html", "<html><title>T</title></html>\n");
        struct utimbuf times {
            kModified, kModified
        };
        utime((m_nginx.Root() + "/page.html").c_str(), &times);
    }
    static constexpr long kModified = 1700000000L;  // Tue, 14 Nov 2023 22:13:20 GMT
    NginxServer m_nginx;
};

class Ftp : public WebnetTest {
  protected:
    void SetUp() override {
        WebnetTest::SetUp();
        ASSERT_TRUE(m_ftp.Start());
    }
    FtpServer m_ftp;
};

}  // namespace

TEST_F(Nginx, GetAFile) {
    Recorder rec;
    const std::string out = m_tmp.file("out");
    EXPECT_EQ(0, QNINetGetPageToFileByName(m_nginx.Url("/page.html").c_str(), 0, out.c_str(),
                                           Recorder::Callback, &rec));
    EXPECT_EQ("<html><title>T</title></html>\n", Slurp(out));
    EXPECT_EQ(2000, rec.Last());
    EXPECT_EQ(35, QNINetGetPageToFileByName(m_nginx.Url("/missing.html").c_str(), 0, out.c_str(),
                                            nullptr, nullptr));
    EXPECT_EQ("", Slurp(out));
}

TEST_F(Nginx, GetALargeFile) {
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 1024);
    qn::test::WriteFile(m_nginx.Root() + "/big.bin", big);
    const std::string out = m_tmp.file("out");
    EXPECT_EQ(0, QNINetGetPageToFileByName(m_nginx.Url("/big.bin").c_str(), 0, out.c_str(), nullptr,
                                           nullptr));
    EXPECT_TRUE(Slurp(out) == big);
}

TEST_F(Nginx, HeadCarriesLastModified) {
    char* buffer = nullptr;
    long length = 0;
    ASSERT_EQ(0, QNINetGetHeadToBuffer(m_nginx.Url("/page.html").c_str(), &buffer, 0, &length,
                                       nullptr, nullptr));
    ASSERT_NE(nullptr, buffer);
    const std::string head(buffer);
    free(buffer);
    EXPECT_EQ(static_cast<long>(head.size() + 1), length);
    EXPECT_NE(std::string::npos, head.find("Last-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\n"));
    EXPECT_NE(std::string::npos, head.find("Server: nginx"));
    EXPECT_EQ("\r\n\r\n", head.substr(head.size() - 4));
}

TEST_F(Nginx, IfModifiedSinceOfAnUnchangedPageReturns30AndAnEmptyFile) {
    Recorder rec;
    const std::string out = m_tmp.file("out");
    qn::test::WriteFile(out, "old contents");
    EXPECT_EQ(30, QNINetGetPageToFileByName(m_nginx.Url("/page.html").c_str(), kModified,
                                            out.c_str(), Recorder::Callback, &rec));
    EXPECT_EQ(2001, rec.Last());
    struct stat st {};
    ASSERT_EQ(0, stat(out.c_str(), &st));
    EXPECT_EQ(0, st.st_size);
    // A changed page (another time) is loaded.
    Recorder changed;
    EXPECT_EQ(0, QNINetGetPageToFileByName(m_nginx.Url("/page.html").c_str(), kModified - 3600,
                                           out.c_str(), Recorder::Callback, &changed));
    EXPECT_EQ(2000, changed.Last());
    EXPECT_EQ("<html><title>T</title></html>\n", Slurp(out));
}

TEST_F(Ftp, GetAFile) {
    qn::test::WriteFile(m_ftp.Root() + "/file.txt", "ftp contents\n");
    Recorder rec;
    const std::string out = m_tmp.file("out");
    EXPECT_EQ(0, QNINetGetPageToFileByName(m_ftp.Url("/file.txt").c_str(), 0, out.c_str(),
                                           Recorder::Callback, &rec));
    EXPECT_EQ("ftp contents\n", Slurp(out));
    EXPECT_EQ((std::vector<int>{-5, 0, 1, 1001, 1002, -1, 2000}), rec.codes);
}

TEST_F(Ftp, GetAMissingFileReturns48) {
    Recorder rec;
    EXPECT_EQ(48, QNINetGetPageToFileByName(m_ftp.Url("/nothing.txt").c_str(), 0,
                                            m_tmp.file("out").c_str(), Recorder::Callback, &rec));
    EXPECT_EQ(2050, rec.Last());
}

TEST_F(Ftp, PutFromBufferAndFromFile) {
    Recorder rec;
    EXPECT_EQ(0, QNINetPutFromBuffer(m_ftp.Url("/up.txt").c_str(), "uploaded", 8,
                                     Recorder::Callback, &rec));
    EXPECT_EQ((std::vector<int>{-5, 0, 1, 1001, 1002, -1, 2000}), rec.codes);
    EXPECT_EQ("uploaded", Slurp(m_ftp.Root() + "/up.txt"));
    const std::string src = m_tmp.file("src");
    std::string data(100000, 'q');
    qn::test::WriteFile(src, data);
    EXPECT_EQ(
        0, QNINetPutFromFileByName(m_ftp.Url("/up2.bin").c_str(), src.c_str(), nullptr, nullptr));
    EXPECT_TRUE(Slurp(m_ftp.Root() + "/up2.bin") == data);
}

TEST_F(Ftp, RoutineAnswering0StopsAnFtpLoad) {
    qn::test::WriteFile(m_ftp.Root() + "/file.txt", "x");
    Recorder rec;
    rec.nZeroAt = 1001;
    EXPECT_EQ(13, QNINetGetPageToFileByName(m_ftp.Url("/file.txt").c_str(), 0,
                                            m_tmp.file("out").c_str(), Recorder::Callback, &rec));
    EXPECT_EQ(2015, rec.Last());
}

TEST_F(Nginx, HttpsIsAcceptedAndAFailedHandshakeEndsWith53) {
    // nginx here speaks plain HTTP: the TLS handshake cannot succeed.
    const std::string url = "https://127.0.0.1:" + std::to_string(m_nginx.port()) + "/page.html";
    Recorder rec;
    EXPECT_EQ(53, QNINetGetPageToFileByName(url.c_str(), 0, m_tmp.file("out").c_str(),
                                            Recorder::Callback, &rec));
    EXPECT_EQ(2055, rec.Last());
    EXPECT_EQ(0, rec.codes.front());  // the load started: the scheme was accepted
}
