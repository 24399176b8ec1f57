// The device's end of the line: the master side of a pseudo-terminal it creates, or a serial
// device. Every wait also watches a wake-up descriptor, so that Stop() ends any wait at once.
#pragma once

#include <chrono>
#include <string>

namespace nevsim {

class Line {
 public:
  using Clock = std::chrono::steady_clock;
  enum WaitResult { kReadable, kWoken, kTimeout, kGone };

  Line() = default;
  ~Line() { Close(); }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Creates a pseudo-terminal (device empty) or opens the serial device, raw 8N1 at baud (the
  // speed is left alone when baud is 0). Throws std::runtime_error on failure.
  void Open(const std::string& device, int baud);
  void Close();
  // Closes the line itself (the pseudo-terminal disappears) but keeps the wake-up descriptor.
  void Drop();
  // After Drop: a new pseudo-terminal in place of the dropped one (Path() names it). Throws
  // std::runtime_error on failure, or when the line serves a device.
  void Reopen(int baud);
  bool IsOpen() const { return fd_ >= 0; }
  std::string Path() const { return path_; }

  // Waits for input until the deadline (none: Clock::time_point::max()).
  WaitResult WaitInput(Clock::time_point deadline);
  // Reads what is pending; 0 when nothing, -1 when the line is gone.
  long Read(char* buf, unsigned long size);
  // Sleeps until the deadline; false when woken.
  bool SleepUntil(Clock::time_point deadline);
  // Writes all bytes; with baud > 0 each byte takes 10 bit times. False when woken or gone.
  bool Write(const std::string& bytes, int baud);

  // The speed the far side of a pseudo-terminal set (read from the master side); 0 when it
  // cannot be read.
  int PeerSpeed() const;

  void Wake();  // callable from any thread; every later wait returns at once

 private:
  int Poll(short events, Clock::time_point deadline, short& revents);
  void OpenLine(const std::string& device, int baud);
  std::string device_;
  int fd_ = -1;          // master side or device
  int keep_slave_ = -1;  // our own handle on the slave side keeps the pty alive between users
  int wake_ = -1;
  std::string path_;
};

}  // namespace nevsim
