// Where the module that holds the core lives: for the log's folder and file name.
#pragma once

#include <string>

namespace nev::platform {

// Full path of the library or executable that holds the core (UTF-8); empty when unknown.
std::string ModulePath();
// Folder of that module, without a trailing separator.
std::string ModuleFolder();
// File name of that module without folder and extension ("NEVComServer", "nevctl").
std::string ModuleStem();
// The user's own folder for the log when the module's folder cannot be written, made (with its
// parents) when missing: $XDG_STATE_HOME/nevcom, else ~/.local/state/nevcom on POSIX;
// %LOCALAPPDATA%\NEVComServer on Windows. Empty when there is none or it cannot be made.
std::string UserStateFolder();
// The platform's path separator ("/" or "\").
inline constexpr char kPathSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

}  // namespace nev::platform
