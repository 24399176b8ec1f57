// frmMain: the hidden host of Com and Timer1.
#include "protocol/host_form.h"

#include "protocol/helper.h"

namespace nev::protocol {

frmMain::frmMain()
    : com_(platform::SerialPort::CreateLine()),
      timer1_(std::make_unique<platform::Timer>([] { TimeoutFlag() = true; })) {}

frmMain::~frmMain() {
  timer1_->SetEnabled(false);
  com_->Close();
}

void frmMain::ArmTimeout(int ms) {
  timer1_->SetInterval(ms);
  timer1_->SetEnabled(false);
  TimeoutFlag() = false;
  timer1_->SetEnabled(true);
}

}  // namespace nev::protocol
