// Reading a request's parts: its JSON body (with a nesting limit checked while parsing), its
// parameters, and the error answer when one is refused.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "http_server.h"

namespace nevd {

inline constexpr int kMaxNesting = 64;  // arrays and objects inside each other in a body

// A request refused before it reaches a printer.
struct ApiError {
  int status;
  std::string code, message, field;
};

nlohmann::json ErrorBody(const std::string& code, const std::string& message,
                         const std::string& field = {});
http::Response JsonResponse(int status, const nlohmann::json& body);

// The body as a JSON object; an empty body is an empty object when allowed. Throws ApiError 400
// for text that is not JSON, not an object, or nested deeper than kMaxNesting.
nlohmann::json ParseBody(const std::string& body, bool empty_ok);
// ?wait: seconds from 0 to 300, 30 when absent. Throws ApiError naming "wait".
double WaitSeconds(const http::Request& request);
// A Z report number 0..999999 from the body's field, if given. Throws ApiError naming it.
std::optional<long> ZNumber(const nlohmann::json& body, const char* name);
// An Idempotency-Key: 1 to 64 letters, digits or - _ . : /
bool ValidKey(const std::string& key);

}  // namespace nevd
