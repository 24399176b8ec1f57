#include "receipt/profile.h"

#include <cmath>
#include <cstdlib>

namespace nev::receipt {

const DeviceProfile& DefaultProfile() {
  static const DeviceProfile profile;
  return profile;
}

ScanOptions ScanOptionsFor(const DeviceProfile& profile) {
  ScanOptions options;
  options.info_serial_field = profile.info_serial;
  options.info_model_field = profile.info_model;
  return options;
}

std::optional<std::string> ReplyText(const std::optional<std::string>& reply, int index) {
  if (!reply || index < 1) return std::nullopt;
  std::size_t start = 0;
  for (int k = 1; k < index; ++k) {
    start = reply->find('\t', start);
    if (start == std::string::npos) return std::nullopt;
    ++start;
  }
  const std::size_t end = reply->find('\t', start);
  std::string field = reply->substr(start, end == std::string::npos ? end : end - start);
  while (!field.empty() && field.front() == ' ') field.erase(0, 1);
  while (!field.empty() && field.back() == ' ') field.pop_back();
  if (field.empty()) return std::nullopt;
  return field;
}

std::optional<double> ReplyNumber(const std::optional<std::string>& reply, int index) {
  std::optional<std::string> text = ReplyText(reply, index);
  if (!text || text->size() > 32) return std::nullopt;
  std::string& field = *text;
  for (char& c : field) {
    if (c == ',') c = '.';
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-')) return std::nullopt;
  }
  char* stop = nullptr;
  const double v = std::strtod(field.c_str(), &stop);
  if (*stop != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

}  // namespace nev::receipt
