#include "peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#ifndef WEBNET_TEST_DIR
#error WEBNET_TEST_DIR must name the folder of the webnet tests
#endif

namespace qn::webtest {

using qn::test::ReadFile;
using qn::test::WaitFor;
using qn::test::WriteFile;

namespace {
const char kPython[] = "/usr/bin/python3";

bool Connectable(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool fOk = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return fOk;
}
// Starts a program that ends with the test: a test that dies leaves no server behind.
pid_t SpawnTied(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}
}  // namespace

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return 0;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool WaitForListener(int port, int msTimeout) {
    return WaitFor([&] { return Connectable(port); }, msTimeout);
}

Peer::~Peer() {
    Stop();
}

void Peer::Stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        bool fGone = WaitFor([&] { return waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, 5000);
        if (!fGone) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }
}

bool Peer::Launch(const std::vector<std::string>& args, int port) {
    m_pid = SpawnTied(args);
    if (m_pid <= 0)
        return false;
    m_port = port;
    bool fUp = WaitFor(
        [&] {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return true;
            }
            return Connectable(port);
        },
        30000);
    if (!fUp || m_pid <= 0) {
        Stop();
        return false;
    }
    return true;
}

// ---- Scripted server ----

bool ScriptedServer::Start() {
    mkdir(m_dir.file("raw").c_str(), 0700);
    m_pid =
        SpawnTied({kPython, std::string(WEBNET_TEST_DIR) + "/scripted_server.py", m_dir.path()});
    if (m_pid <= 0)
        return false;
    const std::string portFile = m_dir.file("port");
    if (!WaitFor([&] { return access(portFile.c_str(), F_OK) == 0; }, 30000)) {
        Stop();
        return false;
    }
    m_port = std::stoi(ReadFile(portFile));
    return true;
}

std::string ScriptedServer::Url(const std::string& strPath) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + strPath;
}

std::string ScriptedServer::Request(int n) const {
    const std::string path = m_dir.file("req-" + std::to_string(n) + ".bin");
    WaitFor([&] { return access(path.c_str(), F_OK) == 0; }, 3000);
    return ReadFile(path);
}

int ScriptedServer::RequestCount() const {
    int n = 0;
    while (access(m_dir.file("req-" + std::to_string(n + 1) + ".bin").c_str(), F_OK) == 0)
        ++n;
    return n;
}

void ScriptedServer::SetRaw(const std::string& strName, const std::string& strBytes) const {
    WriteFile(m_dir.file("raw/" + strName), strBytes);
}

// ---- nginx ----

void NginxServer::SetTls(const std::string& strCert, const std::string& strKey) {
    m_cert = strCert;
    m_key = strKey;
}

std::string NginxServer::AccessLog() const {
    return ReadFile(m_dir.file("access.log"));
}

bool NginxServer::Start() {
    for (int attempt = 0; attempt < (m_fixedPort != 0 ? 1 : 3); ++attempt) {
        int port = m_fixedPort != 0 ? m_fixedPort : FreePort();
        const std::string tls = m_cert.empty() ? std::string()
                                               : " ssl;\n    ssl_certificate " + m_cert +
                                                     ";\n    ssl_certificate_key " + m_key;
        mkdir(m_dir.file("www").c_str(), 0755);
        mkdir(m_dir.file("tmp").c_str(), 0755);
        chmod(m_dir.path().c_str(), 0755);
        std::string conf;
        if (geteuid() == 0)
            conf += "user root;\n";
        conf +=
            "worker_processes 1;\n"
            "daemon off;\n"
            "error_log " +
            m_dir.file("error.log") +
            " error;\n"
            "pid " +
            m_dir.file("nginx.pid") +
            ";\n"
            "events { worker_connections 256; }\n"
            "http {\n"
            "  log_format auth '$request|$http_authorization|$status';\n"
            "  access_log " +
            m_dir.file("access.log") +
            " auth;\n"
            "  default_type application/octet-stream;\n"
            "  client_body_temp_path " +
            m_dir.file("tmp/body") +
            ";\n"
            "  proxy_temp_path " +
            m_dir.file("tmp/proxy") +
            ";\n"
            "  fastcgi_temp_path " +
            m_dir.file("tmp/fastcgi") +
            ";\n"
            "  uwsgi_temp_path " +
            m_dir.file("tmp/uwsgi") +
            ";\n"
            "  scgi_temp_path " +
            m_dir.file("tmp/scgi") +
            ";\n"
            "  sendfile on;\n"
            "  server {\n"
            "    listen 127.0.0.1:" +
            std::to_string(port) + tls +
            ";\n"
            "    root " +
            m_dir.file("www") + ";\n" + m_serverConf +
            "  }\n"
            "}\n";
        WriteFile(m_dir.file("nginx.conf"), conf);
        const std::string pidFile = m_dir.file("nginx.pid");
        unlink(pidFile.c_str());
        if (!Launch({"/usr/sbin/nginx", "-p", m_dir.path(), "-c", m_dir.file("nginx.conf")}, port))
            continue;
        // The port may have been taken by another test's listener meanwhile, which also
        // accepts connections: nginx writes its pid file only once it listens itself.
        bool fExited = false;
        WaitFor(
            [&] {
                fExited = waitpid(m_pid, nullptr, WNOHANG) == m_pid;
                return fExited || access(pidFile.c_str(), F_OK) == 0;
            },
            30000);
        if (fExited)
            m_pid = -1;
        if (!fExited && access(pidFile.c_str(), F_OK) == 0)
            return true;
        Stop();
    }
    return false;
}

std::string NginxServer::Url(const std::string& strPath) const {
    return (m_cert.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") + std::to_string(m_port) +
           strPath;
}

// ---- Certificates ----

namespace {
bool RunQuiet(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open("/dev/null", O_WRONLY);
        dup2(fd, 1);
        dup2(fd, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}
}  // namespace

bool MakeTestCertificates(const std::string& strDir) {
    const std::string ssl = "/usr/bin/openssl";
    auto file = [&](const char* pszName) { return strDir + "/" + pszName; };
    WriteFile(file("ip.ext"), "subjectAltName=IP:127.0.0.1\n");
    WriteFile(file("other.ext"), "subjectAltName=DNS:other.example\n");
    auto sign = [&](const char* pszOut, const char* pszExt, const char* pszDays) {
        return RunQuiet({ssl, "x509", "-req", "-in", file("server.csr"), "-CA", file("ca.pem"),
                         "-CAkey", file("ca.key"), "-CAcreateserial", "-out", file(pszOut), "-days",
                         pszDays, "-extfile", file(pszExt)});
    };
    return RunQuiet({ssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                     file("ca.key"), "-out", file("ca.pem"), "-days", "30", "-subj",
                     "/CN=webnet test CA"}) &&
           RunQuiet({ssl, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", file("server.key"),
                     "-out", file("server.csr"), "-subj", "/CN=127.0.0.1"}) &&
           sign("good.pem", "ip.ext", "30") && sign("expired.pem", "ip.ext", "-1") &&
           sign("wrongname.pem", "other.ext", "30") &&
           RunQuiet({ssl, "x509", "-req", "-in", file("server.csr"), "-key", file("server.key"),
                     "-out", file("selfsigned.pem"), "-days", "30", "-extfile", file("ip.ext")});
}

std::string PlainPasswordFile(const std::string& strPath, const std::string& strUser,
                              const std::string& strPassword) {
    WriteFile(strPath, strUser + ":{PLAIN}" + strPassword + "\n");
    return strPath;
}

// ---- tinyproxy ----

bool TinyProxy::Start() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int port = FreePort();
        std::string conf;
        if (geteuid() == 0)
            conf += "User root\nGroup root\n";
        conf += "Port " + std::to_string(port) +
                "\n"
                "Listen 127.0.0.1\n"
                "Timeout 30\n"
                "MaxClients 50\n"
                "LogLevel " +
                m_logLevel +
                "\n"
                "LogFile \"" +
                m_dir.file("tinyproxy.log") +
                "\"\n"
                "PidFile \"" +
                m_dir.file("tinyproxy.pid") +
                "\"\n"
                "Allow 127.0.0.1\n"
                "DisableViaHeader Yes\n";
        WriteFile(m_dir.file("tinyproxy.conf"), conf);
        if (Launch({"/usr/bin/tinyproxy", "-d", "-c", m_dir.file("tinyproxy.conf")}, port))
            return true;
    }
    return false;
}

std::string TinyProxy::Log() const {
    return ReadFile(m_dir.file("tinyproxy.log"));
}

// ---- FTP ----

bool FtpServer::Start() {
    mkdir(Root().c_str(), 0755);
    for (int attempt = 0; attempt < 3; ++attempt) {
        int port = FreePort();
        if (Launch({kPython, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", std::to_string(port), "-w",
                    "-d", Root()},
                   port))
            return true;
    }
    return false;
}

std::string FtpServer::Url(const std::string& strPath) const {
    return "ftp://127.0.0.1:" + std::to_string(m_port) + strPath;
}

std::string WithoutHostPort(const std::string& strRequest) {
    std::string out = strRequest;
    size_t pos = out.find("\r\nHost: ");
    if (pos == std::string::npos)
        return out;
    size_t end = out.find("\r\n", pos + 2);
    size_t colon = out.find(':', pos + 8);
    if (colon != std::string::npos && colon < end)
        out.erase(colon, end - colon);
    return out;
}

}  // namespace qn::webtest
