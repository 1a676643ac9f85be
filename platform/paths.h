// Where per-user configuration lives and how shared objects are named.
#pragma once

#include <string>

namespace qn::platform {

// The per-user configuration folder: $QUILLON_CONFIG_DIR when set (tests point it at a
// temporary folder), else $XDG_CONFIG_HOME/Quillon, else $HOME/.config/Quillon. Created on
// first use. Holds the registry store and "QNCLIENT.INI".
std::string ConfigDirectory();

// The POSIX name of a machine-wide shared object: "/quillon.<uid>.<namespace>.<name>" where the
// namespace is $QUILLON_SHM_NAMESPACE (tests isolate themselves with it; empty by default).
// Characters outside [A-Za-z0-9._:-] in name are replaced by '_'.
std::string SharedObjectName(const std::string& strName);

// The folder that holds the running program's executable, and the one holding the shared
// library that contains pAddressInLibrary.
std::string ExecutableDirectory();
std::string LibraryDirectory(const void* pAddressInLibrary);

// The configuration file of a catalog or of its backup as the maintenance tools find it: the
// path without its extension followed by ".ini", where an extension is at most three characters
// after the last "." of the file name (a dot in a folder name does not count); any other path
// gets ".ini" appended whole.
std::string CatalogConfigurationPath(const std::string& strPath);

}  // namespace qn::platform
