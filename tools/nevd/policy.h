// Who may call nevd: the rules on the Host, Origin, Sec-Fetch-Site and Authorization headers,
// and the CORS headers an answer carries. Pure functions of the configuration and the request's
// headers, so that each rule can be tested on its own.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace nevd {

struct Config;

struct AccessPolicy {
  std::string listen;                  // the listen address, lower case
  int port = 0;                        // the port bound
  std::string token;                   // empty: no token needed
  std::vector<std::string> origins;    // CORS origins allowed, as configured
  std::set<std::string> origin_hosts;  // the host names of those origins

  static AccessPolicy From(const Config& config, int bound_port);
};

// The headers the rules read (absent ones empty), and what is asked.
struct Asked {
  std::string method, path;
  std::optional<std::string> host, origin, fetch_site, authorization;
};

struct Refusal {
  int status;
  std::string code, message, field;
};

// The first rule the request breaks, if any: a Host that names neither this service nor a
// configured origin (a name rebound to this machine), an Origin not allowed, a cross-site request
// from an origin not configured, a missing or wrong bearer token on the API.
std::optional<Refusal> Check(const AccessPolicy& policy, const Asked& asked);

// The configured origin the request comes from, else empty.
std::string AllowedOrigin(const AccessPolicy& policy, const Asked& asked);

// The headers of an answer: Access-Control-Allow-Origin and Vary for an allowed origin, and for
// a preflight (OPTIONS) the methods and headers it may use.
std::vector<std::pair<std::string, std::string>> CorsHeaders(const AccessPolicy& policy,
                                                             const Asked& asked);

// "name", "name:port", "[v6]" or "[v6]:port" as a Host header or an origin's authority holds it:
// the name in lower case (an IPv6 address without brackets) and the port (80 when absent).
std::optional<std::pair<std::string, int>> ParseHost(const std::string& text);

}  // namespace nevd
