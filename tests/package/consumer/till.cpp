// One receipt on the device at argv[1], written as a till program would: only public headers.
// Prints the version, each step's result and the subtotal; exits 0 when every step said true.
#include <cmath>
#include <cstdio>
#include <string>

#include "nev/log.h"
#include "nev/message.h"
#include "nev/nev.h"
#include "nev/version.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: till DEVICE LOG_FOLDER\n");
    return 2;
  }
  std::printf("version %s\n", nev::kVersion);
  nev::SetMessageSink(std::make_shared<nev::RecordingSink>());

  nev::NEV printer;
  printer.Log().BaseFolder(argv[2]);
  printer.Log().FileName("till");
  int failures = 0;
  auto step = [&](const char* what, bool ok) {
    std::printf("%s %s\n", what, ok ? "true" : "false");
    if (!ok) ++failures;
  };
  step("InitConnection", printer.InitConnection(argv[1], 9600));
  step("OpenFiscNote", printer.OpenFiscNote("1", "0000"));
  step("SellTaxGroup", printer.SellTaxGroup("Хляб", "B", 2, 1.20));
  step("SellTaxGroup", printer.SellTaxGroup("Мляко", "B", 1, 2.35));
  double total = 0, a = 0, b = 0, c = 0;
  step("SubTotal", printer.SubTotal(total, a, b, c));
  std::printf("total %.2f\n", total);
  step("total is 4.75", std::fabs(total - 4.75) < 0.005);
  step("Pay", printer.Pay(1, total));
  step("CloseFiscNote", printer.CloseFiscNote());
  step("StopConnection", printer.StopConnection());
  std::printf("log %s\n", printer.Log().LogFile().c_str());
  return failures == 0 ? 0 : 1;
}
