#include "request.h"

#include <cmath>

namespace nevd {

using nlohmann::json;

json ErrorBody(const std::string& code, const std::string& message, const std::string& field) {
  json e = {{"code", code}, {"message", message}};
  if (!field.empty()) e["field"] = field;
  return {{"error", e}};
}

http::Response JsonResponse(int status, const json& body) {
  http::Response r;
  r.status = status;
  r.body = body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  return r;
}

json ParseBody(const std::string& body, bool empty_ok) {
  if (body.empty() && empty_ok) return json::object();
  struct TooDeep {};
  json parsed;
  try {
    // The parser itself does not recurse; the limit keeps what is built from it (and every
    // later walk over it) shallow.
    parsed = json::parse(body, [](int depth, json::parse_event_t event, json&) {
      const bool opens =
          event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
      if (opens && depth >= kMaxNesting) throw TooDeep{};
      return true;
    });
  } catch (const TooDeep&) {
    throw ApiError{400, "bad-json",
                   "the body is nested deeper than " + std::to_string(kMaxNesting) + " levels", ""};
  } catch (const json::exception& e) {
    throw ApiError{400, "bad-json", std::string("the body is not JSON: ") + e.what(), ""};
  }
  if (!parsed.is_object()) throw ApiError{400, "bad-json", "the body must be a JSON object", ""};
  return parsed;
}

double WaitSeconds(const http::Request& request) {
  auto it = request.query.find("wait");
  if (it == request.query.end()) return 30;
  const std::string& text = it->second;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v) || v < 0 || v > 300) {
    throw ApiError{400, "bad-parameter", "wait must be a number of seconds from 0 to 300", "wait"};
  }
  return v;
}

std::optional<long> ZNumber(const json& body, const char* name) {
  if (!body.contains(name)) return std::nullopt;
  const json& v = body[name];
  if (!v.is_number_integer() || v.get<long long>() < 0 || v.get<long long>() > 999999) {
    throw ApiError{400, "bad-parameter",
                   std::string(name) + " must be a Z report number from 0 to 999999", name};
  }
  return static_cast<long>(v.get<long long>());
}

bool ValidKey(const std::string& key) {
  if (key.empty() || key.size() > 64) return false;
  for (char c : key) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '-' || c == '_' || c == '.' || c == ':' || c == '/';
    if (!ok) return false;
  }
  return true;
}

}  // namespace nevd
