// The rules on who may call nevd and its body reader, on arbitrary headers and bodies: the
// first bytes up to a NUL are six header values split by newlines, the rest a body.
#include <cstdint>
#include <string>

#include "config.h"
#include "policy.h"
#include "request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string heads = input.substr(0, nul);
  std::string fields[6];
  std::size_t start = 0;
  for (std::string& f : fields) {
    const std::size_t nl = heads.find('\n', start);
    f = heads.substr(std::min(start, heads.size()), nl - std::min(start, heads.size()));
    start = nl == std::string::npos ? heads.size() : nl + 1;
  }
  nevd::Config config;
  config.host = "0.0.0.0";
  config.token = "0123456789abcdef";
  config.origins = {"http://till.example:8080", fields[5]};
  const nevd::AccessPolicy policy = nevd::AccessPolicy::From(config, 8631);
  const nevd::Asked asked{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
  (void)nevd::Check(policy, asked);
  (void)nevd::CorsHeaders(policy, asked);
  (void)nevd::ParseHost(fields[2]);
  if (nul != std::string::npos) {
    try {
      (void)nevd::ParseBody(input.substr(nul + 1), true);
    } catch (const nevd::ApiError&) {
    }
  }
  return 0;
}
