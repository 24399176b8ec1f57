#include "policy.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>

#include "config.h"

namespace nevd {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsAddressLiteral(const std::string& name) {
  unsigned char buf[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, name.c_str(), buf) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

// Whether a Host names this service itself: the listen address (any address literal when it
// listens on all of them), a loopback address or localhost, with the port bound. A name that
// merely resolves here does not count: a page could rebind its own name to this machine.
bool OwnHost(const AccessPolicy& policy, const std::string& name, int port) {
  if (port != policy.port) return false;
  if (name == policy.listen || IsLoopback(name)) return true;
  const bool any = policy.listen == "0.0.0.0" || policy.listen == "::" || policy.listen.empty();
  return any && IsAddressLiteral(name);
}

// Compares without stopping at the first difference, so that the time taken tells nothing
// about how much of a guessed token was right.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return diff == 0;
}

}  // namespace

std::optional<std::pair<std::string, int>> ParseHost(const std::string& text) {
  std::string name, rest;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return std::nullopt;
    name = text.substr(1, close - 1);
    rest = text.substr(close + 1);
  } else {
    const std::size_t colon = text.find(':');
    name = text.substr(0, colon);
    if (colon != std::string::npos) rest = text.substr(colon);
  }
  if (name.empty()) return std::nullopt;
  int port = 80;
  if (!rest.empty()) {
    const std::string digits = rest.substr(1);
    if (rest[0] != ':' || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    port = std::stoi(digits);
  }
  return std::make_pair(Lower(name), port);
}

AccessPolicy AccessPolicy::From(const Config& config, int bound_port) {
  AccessPolicy p;
  p.listen = Lower(config.host);
  p.port = bound_port;
  p.token = config.token;
  p.origins = config.origins;
  for (const std::string& o : config.origins) {
    const std::size_t scheme = o.find("://");
    if (scheme == std::string::npos) continue;
    const std::string authority = o.substr(scheme + 3);
    if (auto h = ParseHost(authority.substr(0, authority.find('/')))) {
      p.origin_hosts.insert(h->first);
    }
  }
  return p;
}

std::string AllowedOrigin(const AccessPolicy& policy, const Asked& asked) {
  if (!asked.origin) return {};
  for (const std::string& o : policy.origins) {
    if (o == *asked.origin) return o;
  }
  return {};
}

std::optional<Refusal> Check(const AccessPolicy& policy, const Asked& asked) {
  bool own = false;
  if (asked.host) {
    const auto h = ParseHost(*asked.host);
    own = h && OwnHost(policy, h->first, h->second);
    if (!own && !(h && policy.origin_hosts.count(h->first))) {
      return Refusal{403, "host-not-allowed",
                     "requests for host " + *asked.host + " are not served", "Host"};
    }
  }
  const bool allowed = !AllowedOrigin(policy, asked).empty();
  // A browser page from elsewhere may not drive the printers: its origin must be our own page
  // or one configured.
  if (asked.origin && !allowed) {
    const bool own_page = own && Lower(*asked.origin) == "http://" + Lower(*asked.host);
    if (!own_page) {
      return Refusal{403, "origin-not-allowed",
                     "requests from " + *asked.origin + " are not allowed", "Origin"};
    }
  }
  // A browser marks what another site's page makes it fetch (an image, a link, a form), with or
  // without an Origin header.
  if (asked.fetch_site && Lower(*asked.fetch_site) == "cross-site" && !allowed) {
    return Refusal{403, "cross-site",
                   "requests from another site's page are not allowed; add its origin to \"cors\"",
                   "Sec-Fetch-Site"};
  }
  if (asked.method == "OPTIONS") return std::nullopt;  // a preflight carries no token
  // Health and metrics follow the API's rule.
  const bool api = (asked.path.rfind("/api/", 0) == 0 && asked.path != "/api/v1/openapi.json") ||
                   asked.path == "/livez" || asked.path == "/readyz" || asked.path == "/metrics";
  if (!policy.token.empty() && api &&
      !SameSecret(asked.authorization.value_or(""), "Bearer " + policy.token)) {
    return Refusal{401, "unauthorized", "a valid bearer token is required", "Authorization"};
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> CorsHeaders(const AccessPolicy& policy,
                                                             const Asked& asked) {
  const std::string origin = AllowedOrigin(policy, asked);
  if (origin.empty()) return {};
  std::vector<std::pair<std::string, std::string>> h = {{"Access-Control-Allow-Origin", origin},
                                                        {"Vary", "Origin"}};
  if (asked.method == "OPTIONS") {
    h.insert(h.end(),
             {{"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
              {"Access-Control-Allow-Headers", "Authorization, Content-Type, Idempotency-Key"},
              {"Access-Control-Max-Age", "600"}});
  }
  return h;
}

}  // namespace nevd
