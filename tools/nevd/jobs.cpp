#include "jobs.h"

#include "nev/nev.h"
#include "request.h"

namespace nevd::jobs {

using nlohmann::json;
namespace rc = nev::receipt;

namespace {

// The result as JSON; a Z report's number is its zNumber, not a receipt's.
json ResultBody(const rc::Result& r, rc::Kind kind = rc::Kind::kSale) {
  json j = json::parse(rc::ResultJson(r));
  if (kind == rc::Kind::kZReport && j.contains("receiptNumber")) {
    j["zNumber"] = j["receiptNumber"];
    j.erase("receiptNumber");
  }
  return j;
}

}  // namespace

Printer::Job Document(rc::Document doc) {
  return [doc = std::move(doc)](JobContext& ctx) -> Reply {
    if (auto entry = ctx.journal.Find(doc.id)) {
      if (entry->document != doc.source) {
        return {409,
                ErrorBody("id-conflict",
                          "document " + doc.id + " was printed earlier with other content", "id")};
      }
      if (entry->state && entry->result) {
        return {200, ResultBody(rc::ResultFromJson(*entry->result), doc.kind), true};
      }
    }
    const rc::Result r = rc::Submit(ctx.nev, ctx.line, ctx.journal, doc, ctx.policy);
    return {200, ResultBody(r, doc.kind), r.from_journal};
  };
}

Printer::Job Duplicate() {
  return [](JobContext& ctx) -> Reply {
    const bool ok = ctx.nev.Dublicate();
    const std::string outcome = nev::OutcomeName(ctx.nev.LastCall().outcome);
    if (ok) return {200, {{"member", "Dublicate"}, {"ok", true}, {"outcome", outcome}}};
    json e =
        ErrorBody("device-refused", "the device did not print the duplicate (" + outcome + ")");
    e["error"]["outcome"] = outcome;
    return {409, e};
  };
}

Printer::Job VoidOpen() {
  return [](JobContext& ctx) -> Reply {
    const rc::Result r = rc::VoidOpen(ctx.nev, ctx.line, ctx.journal, ctx.policy);
    return {r.state == rc::State::kVoided ? 200 : 409, ResultBody(r)};
  };
}

Printer::Job AcceptDevice() {
  return [](JobContext& ctx) -> Reply {
    try {
      return {200, {{"accepted", rc::AcceptDevice(ctx.nev, ctx.line, ctx.journal, ctx.policy)}}};
    } catch (const std::runtime_error& e) {
      return {409, ErrorBody("not-accepted", e.what())};
    }
  };
}

Printer::Job FmReport(std::shared_ptr<TaskStream> stream, std::string range) {
  return [stream, range](JobContext& ctx) -> Reply {
    std::string piece = ctx.nev.GetFirstFMReport(range);
    if (!ctx.nev.LastCall().ok()) {
      const json e =
          ErrorBody("device-refused", std::string("the report was not given (") +
                                          nev::OutcomeName(ctx.nev.LastCall().outcome) + ")");
      stream->Add(e, true);
      return {409, e};
    }
    long n = 0;
    // The empty piece ends the report; a dead line or a refusal breaks it off.
    while (!piece.empty() && n < 100000) {
      if (!stream->Add({{"piece", ++n}, {"text", piece}})) {
        return {409, ErrorBody("report-abandoned",
                               "nobody read the report's stream; it was broken off after " +
                                   std::to_string(n - 1) + " pieces")};
      }
      piece = ctx.nev.GetNextFMReport();
      const nev::Outcome outcome = ctx.nev.LastCall().outcome;
      if (nev::LineLost(outcome) || outcome == nev::Outcome::kNak) {
        json e = ErrorBody("device-failed",
                           std::string("the report broke off (") + nev::OutcomeName(outcome) + ")");
        e["pieces"] = n;
        stream->Add(e, true);
        return {502, e};
      }
    }
    const json end = {{"done", true}, {"pieces", n}};
    stream->Add(end, true);
    return {200, end};
  };
}

}  // namespace nevd::jobs
