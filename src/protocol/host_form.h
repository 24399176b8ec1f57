// frmMain: the hidden host of the line Com (a serial port or a network line) and the timer
// Timer1.
#pragma once

#include <memory>

#include "platform/event_loop.h"
#include "platform/serial_port.h"

namespace nev::protocol {

class frmMain {
 public:
  // Loads the form: a closed port and a stopped timer whose tick sets the thread's TimeoutFlag.
  frmMain();
  // Unloads it: closes the port and stops the timer.
  ~frmMain();

  platform::SerialPort& Com() { return *com_; }
  platform::Timer& Timer1() { return *timer1_; }

  // Timer1: interval = ms; stop; TimeoutFlag = False; start.
  void ArmTimeout(int ms);

 private:
  std::unique_ptr<platform::SerialPort> com_;
  std::unique_ptr<platform::Timer> timer1_;
};

}  // namespace nev::protocol
