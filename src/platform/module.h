// Where the module that holds the core lives: for the log's folder and file name.
#pragma once

#include <string>

namespace nev::platform {

// Folder of the library or executable that holds the core, without a trailing separator.
std::string ModuleFolder();
// File name of that module without folder and extension ("NEVComServer", "nevctl").
std::string ModuleStem();
// The platform's path separator ("/" or "\").
inline constexpr char kPathSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

}  // namespace nev::platform
