// Port texts: what each one names, and the reason a text that names no port is refused.
#include "nev/port_spec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using nev::PortKind;
using nev::PortSpec;
using nev::PortSpecError;

TEST(PortSpec, TextsNameANumberADeviceOrALine) {
  const struct {
    std::string text;
    PortKind kind;
    int32_t number = 0;
    std::string host = {};
    uint16_t port = 0;
    std::string serial = {};
  } rows[] = {
      {"1", PortKind::kNumber, 1},
      {"0007", PortKind::kNumber, 7},
      {"32767", PortKind::kNumber, 32767},
      {"/dev/ttyUSB0", PortKind::kDevice},
      {"/dev/pts/12", PortKind::kDevice},
      {"ttyS0", PortKind::kDevice},
      {"/tmp/порт 1", PortKind::kDevice},
      {"COM3", PortKind::kDevice},
      {"tcp://127.0.0.1:4001", PortKind::kTcp, 0, "127.0.0.1", 4001},
      {"rfc2217://conv-3.shop.lan:65535", PortKind::kRfc2217, 0, "conv-3.shop.lan", 65535},
      {"tcp://[::1]:1", PortKind::kTcp, 0, "::1", 1},
      {"serial:NV000042-01", PortKind::kSerial, 0, "", 0, "NV000042-01"},
      {"auto", PortKind::kAuto},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const PortSpec spec = PortSpec::Parse(row.text);
    EXPECT_EQ(spec.kind, row.kind);
    EXPECT_EQ(spec.number, row.number);
    EXPECT_EQ(spec.device, row.kind == PortKind::kDevice ? row.text : "");
    EXPECT_EQ(spec.host, row.host);
    EXPECT_EQ(spec.tcp_port, row.port);
    EXPECT_EQ(spec.serial, row.serial);
    // Numbers read back without their leading zeros; every other text as it was written.
    EXPECT_EQ(spec.Text(), row.text == "0007" ? "7" : row.text);
  }
}

TEST(PortSpec, TextsThatNameNoPortAreRefusedNamingThem) {
  const std::string range = ": not a port number from 1 to 32767 (nor a device path)";
  const std::string neither = ": not a port number or a device path";
  const std::string host_port =
      ": not HOST:PORT (a name or address, a colon, a TCP port 1 to 65535)";
  const std::string serial = ": not a serial number (1 to 32 letters, digits, '-', '_' or '.')";
  const struct {
    std::string text;
    std::string message;
  } rows[] = {
      {"", "the port text is empty"},
      {"0", R"("0")" + range},
      {"32768", R"("32768")" + range},
      {"99999999999999999999", R"("99999999999999999999")" + range},
      {"-5", R"("-5")" + neither},
      {"+5", R"("+5")" + neither},
      {"5x", R"("5x")" + neither},
      {" 5", R"(" 5")" + neither},
      {"/dev/ttyS0 ", R"("/dev/ttyS0 ")" + neither},
      {"--json", R"("--json")" + neither},
      {std::string("/dev/tty\x01S0\r\n", 13), R"("/dev/tty\x01S0\x0D\x0A")" + neither},
      {std::string("/dev/\0x", 7), R"("/dev/\x00x")" + neither},
      {"/dev/\x7F\"\\", R"("/dev/\x7F\x22\x5C")" + neither},
      // Bytes that are not UTF-8 are escaped; a long text is cut without splitting a character.
      {"\x01\xC3\x28", R"x("\x01\xC3(")x" + neither},
      {"\x01" + std::string(62, 'a') + "жж", "\"\\x01" + std::string(62, 'a') + "\"..." + neither},
      {"/" + std::string(nev::kMaxPortText, 'a'),
       "\"/" + std::string(63, 'a') + "\"...: longer than 4096 bytes"},
      {"tcp://host", R"("tcp://host")" + host_port},
      {"tcp://:4001", R"("tcp://:4001")" + host_port},
      {"tcp://h:0", R"("tcp://h:0")" + host_port},
      {"rfc2217://h:65536", R"("rfc2217://h:65536")" + host_port},
      {"tcp://h:-1", R"("tcp://h:-1")" + host_port},
      {"tcp://a b:1", R"("tcp://a b:1": not a host name or address (letters, digits, '-', '.'))"},
      {"tcp://[zz]:1", R"("tcp://[zz]:1": not an IPv6 address in brackets)"},
      {"serial:", R"("serial:")" + serial},
      {"serial:" + std::string(33, '1'), "\"serial:" + std::string(33, '1') + "\"" + serial},
      {"udp://h:1",
       R"("udp://h:1": not a line this driver knows (tcp://, rfc2217://, serial:, a path))"},
  };
  for (const auto& row : rows) {
    try {
      PortSpec::Parse(row.text);
      ADD_FAILURE() << "accepted: " << row.message;
    } catch (const PortSpecError& e) {
      EXPECT_EQ(e.what(), row.message);
      EXPECT_EQ(e.what(), (e.shown().empty() ? "" : e.shown() + ": ") + e.reason());
    }
  }
}

TEST(PortSpec, LineSpeedsAreThoseTheSerialPortCanSet) {
  for (const int32_t baud : {50, 1200, 9600, 19200, 115200, 2000000}) {
    EXPECT_TRUE(nev::LineSpeedSupported(baud)) << baud;
  }
  for (const int32_t baud : {0, -9600, 1, 9601, 14400, 4000001, INT32_MAX}) {
    EXPECT_FALSE(nev::LineSpeedSupported(baud)) << baud;
  }
  EXPECT_EQ(nev::LineSpeedsText().substr(0, 11), "50, 75, 110");
}

}  // namespace
