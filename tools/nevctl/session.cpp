#include "session.h"

#include "binding.h"
#include "members.h"
#include "nev/port_spec.h"
#include "ports.h"

namespace nevctl {

namespace sv = nev::automation;

namespace {

bool IsPortNumber(const std::string& port) {
  try {
    return nev::PortSpec::Parse(port).kind == nev::PortKind::kNumber;
  } catch (const nev::PortSpecError&) {
    return false;
  }
}

}  // namespace

Session::Session(Options options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)),
      out_(out),
      err_(err),
      sink_(std::make_shared<nev::RecordingSink>()) {
  previous_sink_ = nev::SetMessageSink(sink_);
  nev_ = std::make_unique<nev::NEV>();
  // The log is set before the first line is written, so its first session starts there.
  if (!options_.log_dir.empty()) nev_->Log().BaseFolder(options_.log_dir);
  if (options_.log_level >= 0) nev_->Log().Level(options_.log_level);
  if (options_.silent) nev_->SilentMode(true);
}

Session::~Session() {
  nev_.reset();  // closes a connection still open while the recording sink is in place
  simulator_.reset();
  nev::SetMessageSink(previous_sink_);
}

std::vector<nev::RecordingSink::Message> Session::TakeMessages() {
  std::vector<nev::RecordingSink::Message> messages;
  messages.swap(sink_->messages);
  return messages;
}

void Session::Report(const CallRecord& given) {
  CallRecord call = given;
  call.simulated = simulator_ != nullptr;
  if (on_call_) on_call_(call);
  // A call that could not be made is told once: in the JSON object, or on standard error.
  if (call.failed) {
    err_ << "nevctl: ";
    if (call.line > 0) err_ << "line " << call.line << ": ";
    err_ << Printable(call.member) << ": ";
    if (options_.json) {
      err_ << "the call cannot be made; nothing was sent\n";
    } else {
      err_ << (call.error ? call.error->description : std::string("the call cannot be made"))
           << "\n";
    }
  }
  if (!reporting_ || (call.failed && !options_.json)) return;
  if (options_.json) {
    out_ << JsonCall(call) << "\n";
  } else {
    WriteReadable(out_, call);
  }
  out_.flush();
}

namespace {

// The driver's record of the member call just made.
void TakeOutcome(const nev::NEV& nev, const sv::MemberInfo& member, CallRecord& call) {
  const nev::CallRecord& last = nev.LastCall();
  if (member.dispid == sv::kDispidSilentMode || last.member != member.name) {
    // A property of the object: no device, nothing to refuse.
    call.outcome = nev::Outcome::kAnswered;
    return;
  }
  call.outcome = last.outcome;
  call.reply = last.reply;
  call.status = last.status;
  call.flags = last.flags;
  call.error = last.error;
}

}  // namespace

bool Session::Open() {
  std::string port = options_.port;
  if (port.empty()) {
    simulator_ = std::make_unique<nevsim::Simulator>(nevsim::Options{});
    simulator_->Start();
    port = simulator_->SlavePath();
    // One line: what runs, and (when this machine has serial ports) that nothing reaches them.
    std::string real;
    if (options_.warn_serial && !options_.sim_named) {
      for (const PortInfo& p : ListPorts()) real += (real.empty() ? "" : ", ") + p.path;
    }
    if (options_.sim_named) {
      err_ << "nevctl: --port sim: using the built-in simulator on " << port << "\n";
    } else if (!real.empty()) {
      err_ << "nevctl: WARNING: no --port given: using the built-in simulator on " << port
           << "; NOTHING IS PRINTED on this machine's serial ports (" << real
           << "): give --port to print, or --port sim to mean the simulator\n";
    } else {
      err_ << "nevctl: no --port given: using the built-in simulator on " << port << "\n";
    }
  }
  // A port number goes through the member's own form, InitConnection(port, baud, 1, 0, 8); any
  // other text through the native one, which also refuses a text that names no port.
  if (IsPortNumber(port)) {
    const std::vector<Word> args{Word{port}, Word{std::to_string(options_.baud)}, Word{"1"},
                                 Word{"0"}, Word{"8"}};
    const CallRecord call = Call("InitConnection", args);
    const bool* ok = std::get_if<bool>(&call.result);
    return !call.failed && ok != nullptr && *ok;
  }
  TakeMessages();
  CallRecord call;
  call.member = "InitConnection";
  call.shown = {{"", port}, {"BaudRate", options_.baud}};
  const bool ok = nev_->InitConnection(port, options_.baud);
  call.result = ok;
  call.messages = TakeMessages();
  TakeOutcome(*nev_, *sv::FindMember("InitConnection"), call);
  Report(call);
  return ok;
}

void Session::Close() {
  Call("StopConnection", {});
}

namespace {

// A name as a message shows it: at most 40 bytes, control characters escaped.
std::string Shown(std::string_view name) {
  constexpr std::size_t kMax = 40;
  std::string text = ReadableValue(std::string(name.substr(0, kMax)));
  if (name.size() > kMax) text += "...";
  return text;
}

bool LooksLikeName(std::string_view text) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (text.empty() || text.size() > 64 || !letter(text[0])) return false;
  for (char c : text) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '_') return false;
  }
  return true;
}

sv::InvokeError UnknownParam(const sv::MemberInfo& member, std::string_view param) {
  std::string text =
      "Named argument not found: " + std::string(member.name) + " has no parameter " + Shown(param);
  if (member.params.empty()) {
    text += "; it takes no arguments";
  } else {
    text += "; its parameters are ";
    for (std::size_t i = 0; i < member.params.size(); ++i) {
      if (i) text += ", ";
      text += member.params[i].name;
    }
    text +=
        "; did you mean " + std::string(member.params[sv::ClosestParam(member, param)].name) + "?";
    for (const sv::ParamInfo& p : member.params) {
      if (p.type != sv::VarType::String) continue;
      text += " (a text that holds '=' goes by name: " + std::string(p.name) + "=...)";
      break;
    }
  }
  return sv::InvokeError(nev::kErrParamNotFound, text);
}

}  // namespace

PreparedCall PrepareCall(std::string_view name, const std::vector<Word>& args) {
  PreparedCall call;
  call.member = sv::MemberFor(name, sv::Access::kByArguments, args.size());
  if (call.member == nullptr) {
    std::string text = "Object doesn't support this property or method: " + Shown(name);
    if (const sv::MemberInfo* near = sv::ClosestMember(name)) {
      text += "; did you mean " + std::string(near->name) + "?";
    }
    text += " (nevctl members lists them all)";
    throw sv::InvokeError(nev::kErrMemberNotFound, text);
  }
  const sv::MemberInfo& member = *call.member;
  std::vector<sv::Variant> positional;
  std::vector<sv::NamedArgument> named;
  for (const Word& word : args) {
    if (word.name_end != std::string::npos) {
      const std::string_view param = std::string_view(word.text).substr(0, word.name_end);
      const int index = sv::FindParam(member, param);
      if (index >= 0) {
        named.push_back({index, word.text.substr(word.name_end + 1)});
        continue;
      }
      if (LooksLikeName(param)) throw UnknownParam(member, param);
    }
    positional.emplace_back(word.text);
  }

  // Binding refuses a call that cannot be made; by-reference parameters nobody gave start
  // empty, since they are the call's outputs.
  call.bound = sv::Bind(member, positional, named, sv::LeftOutOutputs::kStartEmpty);
  return call;
}

CallRecord FailedCall(std::string_view name, const nev::RuntimeError& error, int line) {
  CallRecord call;
  const sv::MemberInfo* member = sv::FindMember(name);
  call.member = std::string(member ? member->name : name.substr(0, 64));
  call.failed = true;
  call.outcome = nev::Outcome::kBadArgument;
  call.error = error.record();
  call.line = line;
  return call;
}

void Session::ReportFailure(std::string_view name, const nev::RuntimeError& error, int line) {
  Report(FailedCall(name, error, line));
}

CallRecord Session::Call(std::string_view name, const std::vector<Word>& args, int line) {
  TakeMessages();
  PreparedCall prepared;
  try {
    prepared = PrepareCall(name, args);
  } catch (const nev::RuntimeError& e) {
    CallRecord call = FailedCall(name, e, line);
    Report(call);
    return call;
  }
  CallRecord call;
  call.line = line;
  call.member = std::string(prepared.member->name);
  call.procedure = prepared.member->result == sv::VarType::None;
  // The arguments as the call reads, before the call writes its outputs into them.
  const auto& params = prepared.member->params;
  for (std::size_t i = 0; i < params.size(); ++i) {
    call.shown.emplace_back(std::string(params[i].name), prepared.bound.args[i]);
  }
  try {
    sv::InvokeResult result = sv::Invoke(*nev_, *prepared.member, prepared.bound);
    call.result = std::move(result.result);
    for (auto& [param, value] : result.outputs) call.out.emplace_back(std::string(param), value);
    TakeOutcome(*nev_, *prepared.member, call);
    // A NAK carries no status: the last one this run saw tells why, where it says (no paper).
    if (call.status) last_flags_ = call.flags;
    if (call.outcome == nev::Outcome::kNak && last_flags_ && last_flags_->no_paper) {
      call.nak_cause = "no paper: load paper";
    }
  } catch (const nev::RuntimeError& e) {
    call.failed = true;
    call.outcome = nev::Outcome::kBadArgument;
    call.error = e.record();
  }
  call.messages = TakeMessages();
  Report(call);
  return call;
}

}  // namespace nevctl
