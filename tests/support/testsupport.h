// Helpers shared by the test programs: temporary folders, an isolated per-test environment
// and child processes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace qn::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_strPath; }
    std::string file(const std::string& strName) const { return m_strPath + "/" + strName; }

  private:
    std::string m_strPath;
};

// Points QUILLON_CONFIG_DIR at a fresh folder and QUILLON_SHM_NAMESPACE at a unique name, so a
// test sees no other test's settings, log block or shared objects. Call before the libraries
// under test attach to anything; children inherit it.
class IsolatedEnvironment {
  public:
    IsolatedEnvironment();
    ~IsolatedEnvironment();
    const std::string& configDir() const { return m_dir.path(); }
    std::string file(const std::string& strName) const { return m_dir.file(strName); }

  private:
    TempDir m_dir;
};

// Makes file permission bits bind the calling thread even when the tests run as root (as CI
// does): drops the capabilities that override them from the effective set until destruction.
class PermissionsBind {
  public:
    PermissionsBind();
    ~PermissionsBind();
    PermissionsBind(const PermissionsBind&) = delete;
    PermissionsBind& operator=(const PermissionsBind&) = delete;
    bool active() const { return m_fActive; }

  private:
    bool m_fActive = false;
    unsigned m_effective[2] = {0, 0};
};
// A shell command prefix that starts a program with the same capabilities dropped for good
// ("" when not running as root).
std::string PermissionsBindCommandPrefix();

// Runs fn in a forked child; the child exits with fn's result (or 125 on an exception).
pid_t ForkChild(const std::function<int()>& fn);
// Waits for a child; returns its exit code, or 128 + signal when killed.
int WaitChild(pid_t pid);
// Starts a program with arguments; returns its pid (or -1).
pid_t Spawn(const std::vector<std::string>& args);
// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& strPath);
void WriteFile(const std::string& strPath, const std::string& strContents);
// Polls until pred() holds or msTimeout passes.
bool WaitFor(const std::function<bool()>& pred, int msTimeout);

}  // namespace qn::test
