// nevd with a printer given as serial:NUMBER: found by a scan, shown with where it was found,
// and found again by a scan after its line was lost and came back under another name.
#include <filesystem>

#include "nevd/nevd_process.h"

namespace {

using namespace nevdtest;

pid_t Device(const nevtest::TempDir& dir, const std::string& link, const char* speed) {
  return Spawn({NEV_SIM_EXE, "--line-speed", speed, "--serial", "88", "--link",
                (dir.path() / link).string()},
               (dir.path() / (link + ".err")).string());
}

TEST(NevdScanTest, PrinterNamedBySerialNumberIsFoundAgainUnderANewName) {
  nevtest::TempDir dir;
  const nevtest::ScopedEnv ports("NEVCOM_SCAN_PORTS", (dir.str() + "/usb*").c_str());
  pid_t first = Device(dir, "usb0", "19200");
  ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(dir.path() / "usb0"); }, 10s));
  Nevd nevd(dir, {{"probeSeconds", 0.5},
                  {"printers",
                   {{{"id", "p"},
                     {"port", "serial:88"},
                     {"speed", 9600},
                     {"replyTimeoutMs", 2000},
                     {"maxWaitMs", 30000}}}}});
  json printer;
  auto found_at = [&](const std::string& link) {
    return Eventually(
        [&] {
          printer = nevd.Get("/api/v1/printers/p").second;
          return printer.value("state", "") == "online" &&
                 printer.value("foundAt", "") == (dir.path() / link).string();
        },
        60s);
  };
  ASSERT_TRUE(found_at("usb0")) << printer.dump() << nevd.Log();
  EXPECT_EQ(printer["speed"], 9600);
  EXPECT_EQ(printer["replyTimeoutMs"], 2000);
  EXPECT_EQ(printer["maxWaitMs"], 30000);

  // The adapter is pulled out and comes back under another name.
  Stop(first, SIGKILL);
  std::filesystem::remove(dir.path() / "usb0");
  Child second(Device(dir, "usb3", "19200"));
  ASSERT_TRUE(found_at("usb3")) << printer.dump() << nevd.Log();
}

}  // namespace
