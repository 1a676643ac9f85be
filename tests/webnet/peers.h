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

// nginx serving files from dir()/www.
class NginxServer : public Peer {
  public:
    bool Start();
    std::string Url(const std::string& strPath) const;
    std::string Root() const { return m_dir.file("www"); }
};

// tinyproxy forwarding to anywhere on 127.0.0.1.
class TinyProxy : public Peer {
  public:
    bool Start();
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
