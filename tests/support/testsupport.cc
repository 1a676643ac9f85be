#include "testsupport.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qn::test {

TempDir::TempDir() {
    const char* pszTmp = getenv("TMPDIR");
    std::string strTemplate = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/qntest.XXXXXX";
    std::vector<char> buf(strTemplate.begin(), strTemplate.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    m_strPath = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Folders a test made read-only must become writable again to be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(m_strPath, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        }
    }
    std::filesystem::permissions(m_strPath, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_strPath, ec);
}

IsolatedEnvironment::IsolatedEnvironment() {
    static std::atomic<int> nCounter{0};
    setenv("QUILLON_CONFIG_DIR", m_dir.path().c_str(), 1);
    // snprintf rather than string concatenation: g++ 12 -O3 reports a false -Wrestrict there.
    char szNamespace[64];
    snprintf(szNamespace, sizeof szNamespace, "t%ld_%d", static_cast<long>(getpid()),
             nCounter.fetch_add(1));
    std::string strNamespace = szNamespace;
    setenv("QUILLON_SHM_NAMESPACE", strNamespace.c_str(), 1);
}

IsolatedEnvironment::~IsolatedEnvironment() {
    unsetenv("QUILLON_CONFIG_DIR");
    unsetenv("QUILLON_SHM_NAMESPACE");
}

namespace {

// The capabilities that let root ignore permission bits.
constexpr unsigned kOverrideCaps[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER};

bool GetCaps(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, data) == 0;
}

bool SetCaps(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

PermissionsBind::PermissionsBind() {
    __user_cap_data_struct data[2];
    if (!GetCaps(data))
        return;
    m_effective[0] = data[0].effective;
    m_effective[1] = data[1].effective;
    for (unsigned cap : kOverrideCaps)
        data[cap / 32].effective &= ~(1u << (cap % 32));
    m_fActive = SetCaps(data);
}

PermissionsBind::~PermissionsBind() {
    if (!m_fActive)
        return;
    __user_cap_data_struct data[2];
    if (!GetCaps(data))
        return;
    data[0].effective = m_effective[0];
    data[1].effective = m_effective[1];
    SetCaps(data);
}

std::string PermissionsBindCommandPrefix() {
    return geteuid() == 0 ? "setpriv --bounding-set -dac_override,-dac_read_search,-fowner -- "
                          : "";
}

pid_t ForkChild(const std::function<int()>& fn) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int rc = 125;
        try {
            rc = fn();
        } catch (...) {
            rc = 125;
        }
        fflush(nullptr);
        _exit(rc);
    }
    return pid;
}

int WaitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& strPath, const std::string& strContents) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out << strContents;
}

bool WaitFor(const std::function<bool()>& pred, int msTimeout) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace qn::test
