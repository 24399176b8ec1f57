// The rules on who may call nevd, and the body reader's limits, as tables.
#include "policy.h"

#include <gtest/gtest.h>

#include "config.h"
#include "request.h"

namespace nevd {
namespace {

AccessPolicy Make(const std::string& listen, const std::string& token) {
  Config c;
  c.host = listen;
  c.token = token;
  c.origins = {"http://till.example:8080"};
  return AccessPolicy::From(c, 8631);
}

std::optional<std::string> Opt(const char* text) {
  return text ? std::optional<std::string>(text) : std::nullopt;
}

TEST(AccessPolicy, EachRuleRefusesWhatItShouldAndNothingElse) {
  const char* tok = "0123456789abcdef";
  const char* bearer = "Bearer 0123456789abcdef";
  const char* own = "127.0.0.1:8631";
  const char* till = "http://till.example:8080";
  struct Case {
    const char* what;
    const char* listen;
    const char* token;
    const char *method, *path, *host, *origin, *site, *auth;
    int status;  // 0: allowed
    const char* code;
  } cases[] = {
      {"own loopback host", "127.0.0.1", "", "GET", "/api/v1/printers", own, 0, 0, 0, 0, ""},
      {"localhost", "127.0.0.1", "", "GET", "/", "localhost:8631", 0, 0, 0, 0, ""},
      {"no Host at all (HTTP/1.0)", "127.0.0.1", "", "GET", "/", 0, 0, 0, 0, 0, ""},
      {"another port", "127.0.0.1", "", "GET", "/", "127.0.0.1:9999", 0, 0, 0, 403,
       "host-not-allowed"},
      {"a rebound name", "127.0.0.1", "", "GET", "/", "evil.example:8631", 0, 0, 0, 403,
       "host-not-allowed"},
      {"a broken Host", "127.0.0.1", "", "GET", "/", "[::1", 0, 0, 0, 403, "host-not-allowed"},
      {"a configured origin's host", "0.0.0.0", tok, "GET", "/api/v1/printers", "till.example:8080",
       0, 0, bearer, 0, ""},
      {"any literal when listening on all", "0.0.0.0", "", "GET", "/", "192.0.2.7:8631", 0, 0, 0, 0,
       ""},
      {"our own page", "127.0.0.1", "", "POST", "/api/v1/printers/a/receipts", own,
       "http://127.0.0.1:8631", 0, 0, 0, ""},
      {"another page", "127.0.0.1", "", "POST", "/api/v1/printers/a/receipts", own,
       "http://evil.example", 0, 0, 403, "origin-not-allowed"},
      {"a configured origin", "127.0.0.1", "", "POST", "/x", own, till, 0, 0, 0, ""},
      {"an image from another site", "127.0.0.1", "", "GET", "/api/v1/printers", own, 0,
       "cross-site", 0, 403, "cross-site"},
      {"cross-site from a configured origin", "127.0.0.1", "", "POST", "/x", own, till,
       "cross-site", 0, 0, ""},
      {"same-site passes", "127.0.0.1", "", "GET", "/", own, 0, "same-site", 0, 0, ""},
      {"a typed address passes", "127.0.0.1", "", "GET", "/", own, 0, "none", 0, 0, ""},
      {"a cross-site post", "127.0.0.1", "", "POST", "/x", own, 0, "cross-site", 0, 403,
       "cross-site"},
      {"a rebound name like a loopback address", "127.0.0.1", "", "GET", "/",
       "127.evil.example:8631", "http://127.evil.example:8631", 0, 0, 403, "host-not-allowed"},
      {"IPv6 loopback", "127.0.0.1", "", "GET", "/", "[::1]:8631", "http://[::1]:8631", 0, 0, 0,
       ""},
      {"no token", "127.0.0.1", tok, "GET", "/api/v1/printers", own, 0, 0, 0, 401, "unauthorized"},
      {"a wrong token", "127.0.0.1", tok, "GET", "/api/v1/printers", own, 0, 0,
       "Bearer 0123456789abcdeF", 401, "unauthorized"},
      {"a longer token", "127.0.0.1", tok, "GET", "/api/v1/printers", own, 0, 0,
       "Bearer 0123456789abcdef0", 401, "unauthorized"},
      {"the token", "127.0.0.1", tok, "GET", "/api/v1/printers", own, 0, 0, bearer, 0, ""},
      {"the API document needs none", "127.0.0.1", tok, "GET", "/api/v1/openapi.json", own, 0, 0, 0,
       0, ""},
      {"a preflight carries none", "127.0.0.1", tok, "OPTIONS", "/api/v1/printers", own, till, 0, 0,
       0, ""},
      {"metrics need the token", "127.0.0.1", tok, "GET", "/metrics", own, 0, 0, 0, 401,
       "unauthorized"},
      {"health needs the token", "127.0.0.1", tok, "GET", "/readyz", own, 0, 0, 0, 401,
       "unauthorized"},
      {"health with the token", "127.0.0.1", tok, "GET", "/livez", own, 0, 0, bearer, 0, ""},
  };
  for (const Case& c : cases) {
    const Asked asked{c.method, c.path, Opt(c.host), Opt(c.origin), Opt(c.site), Opt(c.auth)};
    const auto refusal = Check(Make(c.listen, c.token), asked);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status) << c.what;
    if (refusal) {
      EXPECT_EQ(refusal->code, c.code) << c.what;
    }
  }
}

TEST(AccessPolicy, OnlyAConfiguredOriginGetsCorsHeaders) {
  const AccessPolicy p = Make("127.0.0.1", "");
  Asked till{"OPTIONS", "/api/v1/printers", "127.0.0.1:8631", "http://till.example:8080", {}, {}};
  EXPECT_EQ(CorsHeaders(p, till).size(), 5u);  // origin, Vary and the preflight's three
  till.method = "GET";
  EXPECT_EQ(CorsHeaders(p, till).size(), 2u);
  Asked other{"OPTIONS", "/", "127.0.0.1:8631", "http://till.example:8081", {}, {}};
  EXPECT_TRUE(CorsHeaders(p, other).empty());
}

TEST(RequestBody, NestingIsLimitedWhileParsing) {
  auto nested = [](int depth) {
    return "{\"x\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
  };
  EXPECT_NO_THROW(ParseBody(nested(kMaxNesting), false));
  for (int depth : {kMaxNesting + 1, 100000}) {
    try {
      ParseBody(nested(depth), false);
      ADD_FAILURE() << depth;
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status, 400);
      EXPECT_NE(e.message.find("nested deeper than 64"), std::string::npos) << e.message;
    }
  }
  for (const char* bad : {"[]", "1", "{", "\"x\"", "{\"a\":NaN}"}) {
    EXPECT_THROW(ParseBody(bad, false), ApiError) << bad;
  }
  EXPECT_TRUE(ParseBody("", true).empty());
}

}  // namespace
}  // namespace nevd
