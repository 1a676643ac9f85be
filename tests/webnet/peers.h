// Real servers for the webnet tests, each started on 127.0.0.1 on a free port in its own
// temporary folder and stopped by process id: the scripted HTTP server, nginx, tinyproxy and
// an FTP server (pyftpdlib).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "testsupport.h"

namespace qn::webtest {

// A port on 127.0.0.1 that nothing listens on right now.
int FreePort();
// True once something accepts connections on 127.0.0.1:port (waits at most msTimeout).
bool WaitForListener(int port, int msTimeout);

class Peer {
  public:
    Peer() = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    virtual ~Peer();
    bool running() const { return m_pid > 0; }
    int port() const { return m_port; }
    const qn::test::TempDir& dir() const { return m_dir; }
    void Stop();

  protected:
    bool Launch(const std::vector<std::string>& args, int port);
    qn::test::TempDir m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
};

// tests/webnet/scripted_server.py: scripted answers by path; stores every request.
class ScriptedServer : public Peer {
  public:
    bool Start();
    std::string Url(const std::string& strPath) const;
    // The raw bytes of the n-th request received (1-based), waiting briefly for it.
    std::string Request(int n) const;
    int RequestCount() const;
    // Makes /raw/name answer with exactly these bytes.
    void SetRaw(const std::string& strName, const std::string& strBytes) const;
};

// nginx serving files from dir()/www; with SetTls before Start, over TLS only. Every request
// is logged to AccessLog() as "REQUEST-LINE|AUTHORIZATION|STATUS" lines,
// each written just after the answer.
class NginxServer : public Peer {
  public:
    bool Start();
    std::string Url(const std::string& strPath) const;
    std::string Root() const { return m_dir.file("www"); }
    void SetTls(const std::string& strCert, const std::string& strKey);
    // Extra directives inside the server block (for example a protected location).
    void SetServerConf(const std::string& strConf) { m_serverConf = strConf; }
    // Listen on this port instead of a free one (Start then tries it once).
    void SetPort(int port) { m_fixedPort = port; }
    std::string AccessLog() const;

  private:
    std::string m_cert, m_key, m_serverConf;
    int m_fixedPort = 0;
};

// A private CA made by openssl in dir: ca.pem, and server certificates with the key
// server.key: good.pem (for 127.0.0.1, signed by the CA), expired.pem (signed, expired),
// wrongname.pem (signed, for another name) and selfsigned.pem (for 127.0.0.1, signed by
// itself). False when openssl fails.
bool MakeTestCertificates(const std::string& strDir);

// The "user:{PLAIN}password" file nginx's auth_basic reads.
std::string PlainPasswordFile(const std::string& strPath, const std::string& strUser,
                              const std::string& strPassword);

// tinyproxy forwarding to anywhere on 127.0.0.1.
class TinyProxy : public Peer {
  public:
    bool Start();
    // "Info" logs every request line (CONNECT included) to Log().
    void SetLogLevel(const std::string& strLevel) { m_logLevel = strLevel; }
    std::string Log() const;

  private:
    std::string m_logLevel = "Critical";
};

// pyftpdlib with anonymous write access to dir()/root.
class FtpServer : public Peer {
  public:
    bool Start();
    std::string Url(const std::string& strPath) const;
    std::string Root() const { return m_dir.file("root"); }
};

// The request text with the Host line's port removed (the port is chosen at run time).
std::string WithoutHostPort(const std::string& strRequest);

}  // namespace qn::webtest
