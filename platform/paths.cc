#include "platform/paths.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace qn::platform {
namespace {

std::string Env(const char* pszName) {
    const char* psz = getenv(pszName);
    return psz ? std::string(psz) : std::string();
}

// mkdir -p, ignoring failures (the caller finds out when it uses the folder).
void MakeDirectories(const std::string& strPath) {
    if (strPath.empty())
        return;
    for (size_t pos = 1; pos <= strPath.size(); ++pos) {
        if (pos == strPath.size() || strPath[pos] == '/') {
            std::string strPart = strPath.substr(0, pos);
            if (mkdir(strPart.c_str(), 0700) != 0 && errno != EEXIST)
                return;
        }
    }
}

std::string DirectoryOf(const std::string& strPath) {
    size_t pos = strPath.rfind('/');
    if (pos == std::string::npos)
        return ".";
    if (pos == 0)
        return "/";
    return strPath.substr(0, pos);
}

}  // namespace

std::string ConfigDirectory() {
    std::string strDir = Env("QUILLON_CONFIG_DIR");
    if (strDir.empty()) {
        std::string strXdg = Env("XDG_CONFIG_HOME");
        if (!strXdg.empty() && strXdg[0] == '/') {
            strDir = strXdg + "/Quillon";
        } else {
            std::string strHome = Env("HOME");
            if (strHome.empty())
                strHome = "/tmp";
            strDir = strHome + "/.config/Quillon";
        }
    }
    while (strDir.size() > 1 && strDir.back() == '/')
        strDir.pop_back();
    MakeDirectories(strDir);
    return strDir;
}

std::string SharedObjectName(const std::string& strName) {
    std::string strResult =
        "/quillon." + std::to_string(getuid()) + "." + Env("QUILLON_SHM_NAMESPACE") + ".";
    for (char ch : strName) {
        bool fKeep = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                     (ch >= '0' && ch <= '9') || ch == '.' || ch == '_' || ch == ':' || ch == '-';
        strResult += fKeep ? ch : '_';
    }
    // The namespace is outside input too: keep it from adding folders to the name.
    for (size_t i = 1; i < strResult.size(); ++i) {
        if (strResult[i] == '/')
            strResult[i] = '_';
    }
    return strResult;
}

std::string ExecutableDirectory() {
    char sz[PATH_MAX];
    ssize_t cch = readlink("/proc/self/exe", sz, sizeof sz - 1);
    if (cch <= 0)
        return ".";
    sz[cch] = '\0';
    return DirectoryOf(sz);
}

std::string LibraryDirectory(const void* pAddressInLibrary) {
    Dl_info info;
    if (pAddressInLibrary == nullptr || dladdr(pAddressInLibrary, &info) == 0 ||
        info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
        return ExecutableDirectory();
    }
    char sz[PATH_MAX];
    if (realpath(info.dli_fname, sz) == nullptr)
        return DirectoryOf(info.dli_fname);
    return DirectoryOf(sz);
}

std::string CatalogConfigurationPath(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    const size_t nNameStart = nSlash == std::string::npos ? 0 : nSlash + 1;
    const size_t nDot = strPath.rfind('.');
    if (nDot != std::string::npos && nDot >= nNameStart && strPath.size() - nDot <= 4) {
        return strPath.substr(0, nDot) + ".ini";
    }
    return strPath + ".ini";
}

}  // namespace qn::platform
