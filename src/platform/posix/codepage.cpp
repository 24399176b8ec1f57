// Code pages on POSIX: iconv between the API's UTF-8 and the wire's single-byte code page
// (Windows-1251 unless NEVCOM_CODEPAGE names another). What cannot be converted becomes "?".
#include "platform/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace nev::platform {

namespace {

constexpr const char* kDefaultWireCodePage = "CP1251";

// NEVCOM_CODEPAGE names the wire code page as iconv knows it ("CP1251"), or by its Windows
// number alone ("1251"), as on Windows.
std::string WireCodePage() {
  const char* name = std::getenv("NEVCOM_CODEPAGE");
  if (!name || !*name) return kDefaultWireCodePage;
  const std::string text = name;
  if (text.find_first_not_of("0123456789") == std::string::npos) return "CP" + text;
  return text;
}

// One conversion direction, opened lazily per thread (iconv descriptors carry state) and
// reopened when the configured code page changes.
class Converter {
 public:
  Converter(bool to_wire) : to_wire_(to_wire) {}
  ~Converter() { Reset(); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  iconv_t For(const std::string& wire) {
    if (cd_ != kNone && wire == wire_) return cd_;
    Reset();
    cd_ = Open(wire);
    // An unknown name falls back to the default rather than leaving the line without text.
    if (cd_ == kNone && wire != kDefaultWireCodePage) cd_ = Open(kDefaultWireCodePage);
    wire_ = wire;
    return cd_;
  }

 private:
  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

  iconv_t Open(const std::string& wire) const {
    return to_wire_ ? ::iconv_open(wire.c_str(), "UTF-8") : ::iconv_open("UTF-8", wire.c_str());
  }
  void Reset() {
    if (cd_ != kNone) ::iconv_close(cd_);
    cd_ = kNone;
  }

  bool to_wire_;
  iconv_t cd_ = kNone;
  std::string wire_;
};

// Length of the UTF-8 sequence that starts with lead (1 for a stray or invalid byte).
std::size_t Utf8Length(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

// Converts in, replacing each input character that fails by "?". skip_utf8 says how far to
// step over a failed character: one UTF-8 sequence on the way to the wire, one byte back.
std::string Convert(iconv_t cd, std::string_view in, bool skip_utf8) {
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  out.reserve(in.size() * 2 + 4);
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  char buf[512];
  while (src_left > 0) {
    char* dst = buf;
    std::size_t dst_left = sizeof buf;
    const std::size_t r = ::iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(buf, sizeof buf - dst_left);
    if (r != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ: not representable or malformed; EINVAL: cut short at the end.
    std::size_t skip = skip_utf8 ? Utf8Length(static_cast<unsigned char>(*src)) : 1;
    if (skip_utf8) {
      // Only whole continuation bytes belong to the failed character.
      std::size_t k = 1;
      while (k < skip && k < src_left && (static_cast<unsigned char>(src[k]) & 0xC0) == 0x80) ++k;
      skip = k;
    }
    skip = std::min(skip, src_left);
    out.push_back('?');
    src += skip;
    src_left -= skip;
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  // Flush any shift state the target code page keeps.
  char* dst = buf;
  std::size_t dst_left = sizeof buf;
  ::iconv(cd, nullptr, nullptr, &dst, &dst_left);
  out.append(buf, sizeof buf - dst_left);
  return out;
}

}  // namespace

std::string ToWire(std::string_view utf8) {
  thread_local Converter converter(true);
  return Convert(converter.For(WireCodePage()), utf8, true);
}

std::string FromWire(std::string_view bytes) {
  thread_local Converter converter(false);
  return Convert(converter.For(WireCodePage()), bytes, false);
}

std::string ToSystemText(std::string_view utf8) {
  return std::string(utf8);
}

// wchar_t holds a whole code point here (UTF-32), so the conversions are plain UTF-8 coding.
std::wstring ToWide(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t n = Utf8Length(lead);
    char32_t c = n == 1 ? lead : lead & (0x7F >> n);
    bool ok = (n > 1 || lead < 0x80) && i + n <= utf8.size();
    for (std::size_t k = 1; ok && k < n; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      ok = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && c >= kLeast[n] && (c < 0xD800 || c > 0xDFFF) && c <= 0x10FFFF;
    out.push_back(ok ? static_cast<wchar_t>(c) : L'\uFFFD');
    i += ok ? n : 1;
  }
  return out;
}

std::string FromWide(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (wchar_t w : wide) {
    auto c = static_cast<char32_t>(w);
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace nev::platform
