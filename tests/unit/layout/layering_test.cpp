// Which folder may include which: the layers of the driver only reach down, the automation surface
// and the tools see the public headers, and the simulator stays independent of the driver it
// checks. A file that includes across these lines fails here, naming the file and the include.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Folder (relative to the project) -> the include folders its files may name. Includes without a
// folder ("binding.h") are a folder's own headers and always allowed.
const std::map<std::string, std::set<std::string>>& Rules() {
  static const std::map<std::string, std::set<std::string>> rules{
      {"include/nev", {"nev"}},
      {"src/platform", {"nev", "platform"}},
      // The public error and message functions, implemented once; the default sink is the
      // platform's.
      {"src/common", {"nev", "common", "platform"}},
      {"src/protocol", {"nev", "platform", "protocol"}},
      {"src/log", {"nev", "platform", "log"}},
      {"src/service", {"nev", "common", "platform", "protocol", "log", "service"}},
      {"src/operations", {"nev", "common", "platform", "protocol", "log", "service", "operations"}},
      {"src/automation", {"nev", "operations"}},
      // The COM server and the receipt library use the NEV object through its public API only.
      {"src/automation/com", {"nev", "common", "platform"}},
      {"src/receipt", {"nev", "receipt"}},
      {"simulator", {"nev", "nevsim"}},
      {"tools/nevctl", {"nev", "nevsim"}},
      {"tools/nevd", {"nev", "nevsim"}},
      {"tools/common", {}},
      // The Python module is an outside program: the public headers only.
      {"python", {"nev"}},
  };
  return rules;
}

// The rule of the nearest folder that has one.
const std::set<std::string>* RuleFor(fs::path folder) {
  for (; !folder.empty(); folder = folder.parent_path()) {
    const auto it = Rules().find(folder.generic_string());
    if (it != Rules().end()) return &it->second;
    if (folder == folder.parent_path()) break;
  }
  return nullptr;
}

TEST(Layering, EveryIncludeStaysWithinWhatItsFolderMayUse) {
  const fs::path root = NEV_SOURCE_DIR;
  std::size_t checked = 0;
  std::vector<std::string> faults;
  for (const char* top : {"include", "src", "simulator", "tools", "python"}) {
    for (const auto& entry : fs::recursive_directory_iterator(root / top)) {
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
      const fs::path relative = fs::relative(entry.path(), root);
      // The per-OS implementations of a layer follow their layer's rule.
      fs::path folder = relative.parent_path();
      if (folder.filename() == "posix" || folder.filename() == "win32") {
        folder = folder.parent_path();
      }
      const std::set<std::string>* allowed = RuleFor(folder);
      ASSERT_NE(allowed, nullptr) << relative << " is in a folder without a rule";
      std::ifstream in(entry.path());
      std::string line;
      while (std::getline(in, line)) {
        if (line.rfind("#include \"", 0) != 0) continue;
        const std::string target = line.substr(10, line.find('"', 10) - 10);
        const std::size_t slash = target.find('/');
        if (slash == std::string::npos) continue;
        ++checked;
        if (!allowed->count(target.substr(0, slash))) {
          faults.push_back(relative.generic_string() + " includes " + target);
        }
      }
    }
  }
  EXPECT_GT(checked, 100u);  // the walk found the sources
  EXPECT_TRUE(faults.empty()) << ::testing::PrintToString(faults);
}

}  // namespace
