// The module that holds the core on POSIX: the shared object or executable this code is in.
#include "platform/module.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace nev::platform {

namespace {

std::string FindModulePath() {
  Dl_info info{};
  link_map* map = nullptr;
  const bool found = ::dladdr1(reinterpret_cast<void*>(&FindModulePath), &info,
                               reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0;
  // The main program's link map has an empty name: ask the kernel for the executable instead.
  std::string path;
  if (found && map && map->l_name && *map->l_name) {
    path = map->l_name;
  } else {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0)
      path.assign(buf, static_cast<std::size_t>(n));
    else if (found && info.dli_fname)
      path = info.dli_fname;
  }
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    path = real;
    ::free(real);
  }
  return path;
}

}  // namespace

// A loaded module does not move: its path is looked up once.
std::string ModulePath() {
  static const std::string path = FindModulePath();
  return path;
}

std::string ModuleFolder() {
  const std::string path = ModulePath();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string ModuleStem() {
  std::string name = ModulePath();
  if (const std::size_t slash = name.rfind('/'); slash != std::string::npos)
    name.erase(0, slash + 1);
  // "libnev.so.1.0" -> "libnev"; "nevctl" stays; "tool.bin" -> "tool".
  if (const std::size_t so = name.find(".so"); so != std::string::npos && so > 0) {
    name.erase(so);
  } else if (const std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
    name.erase(dot);
  }
  return name;
}

std::string UserStateFolder() {
  std::string folder;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
    folder = state;
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    folder = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  folder += "/nevcom";
  // Every level, as mkdir -p does; an existing one is fine.
  for (std::size_t at = 1; at != std::string::npos;) {
    at = folder.find('/', at + 1);
    const std::string level = folder.substr(0, at);
    if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return {};
  }
  return folder;
}

}  // namespace nev::platform
