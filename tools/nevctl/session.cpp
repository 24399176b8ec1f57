#include "session.h"

#include <filesystem>

#include "service/late_binding.h"
#include "service/members.h"

namespace nevctl {

namespace sv = nev::service;

bool IsPortNumber(std::string_view text) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

Session::Session(Options options, std::ostream& out)
    : options_(std::move(options)), out_(out), sink_(std::make_shared<nev::RecordingSink>()) {
  previous_sink_ = nev::SetMessageSink(sink_);
  if (options_.log_dir.empty()) {
    nev_ = std::make_unique<nev::NEV>();
  } else {
    std::error_code ec;
    std::filesystem::create_directories(options_.log_dir, ec);
    nev_ = std::make_unique<nev::NEV>(options_.log_dir);
  }
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

void Session::Report(const CallRecord& call) {
  if (on_call_) on_call_(call);
  if (!reporting_) return;
  if (options_.json) {
    out_ << JsonCall(call) << "\n";
  } else {
    WriteReadable(out_, call);
  }
  out_.flush();
}

bool Session::Open() {
  std::string port = options_.port;
  if (port.empty()) {
    simulator_ = std::make_unique<nevsim::Simulator>(nevsim::Options{});
    simulator_->Start();
    port = simulator_->SlavePath();
  }
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
  Report(call);
  return ok;
}

void Session::Close() {
  Call("StopConnection", {});
}

PreparedCall PrepareCall(std::string_view name, const std::vector<Word>& args) {
  PreparedCall call;
  call.member = sv::FindMember(name);
  if (call.member != nullptr && call.member->kind == sv::MemberKind::PropertyGet && !args.empty()) {
    call.member = sv::FindMember(call.member->name, sv::MemberKind::PropertyPut);
  }
  if (call.member == nullptr) {
    throw sv::InvokeError(sv::kErrMemberNotFound,
                          "Object doesn't support this property or method: " + std::string(name));
  }
  const sv::MemberInfo& member = *call.member;
  for (const Word& word : args) {
    if (word.name_end != std::string::npos) {
      const int index = sv::FindParam(member, std::string_view(word.text).substr(0, word.name_end));
      if (index >= 0) {
        call.named.push_back({index, word.text.substr(word.name_end + 1)});
        continue;
      }
    }
    call.positional.emplace_back(word.text);
  }

  // Where each parameter's value comes from, for the readable form; by-reference parameters
  // nobody gave start empty, since they are the call's outputs.
  std::vector<const sv::Variant*> given(member.params.size(), nullptr);
  for (std::size_t i = 0; i < call.positional.size() && i < given.size(); ++i) {
    given[i] = &call.positional[i];
  }
  for (const auto& arg : call.named) {
    if (arg.param >= 0 && static_cast<std::size_t>(arg.param) < given.size()) {
      given[arg.param] = &arg.value;
    }
  }
  for (std::size_t i = 0; i < member.params.size(); ++i) {
    const sv::ParamInfo& param = member.params[i];
    sv::Variant shown;
    if (given[i] == nullptr && !param.by_ref) {
      if (!param.optional) continue;
      shown = std::string(param.default_value);
    } else if (given[i] != nullptr) {
      shown = *given[i];
    }
    try {
      shown = sv::ConvertTo(shown, param.type);
    } catch (const nev::RuntimeError&) {
      // shown as given; binding reports the error
    }
    call.shown.emplace_back(std::string(param.name), std::move(shown));
  }
  for (std::size_t i = member.params.size(); i < call.positional.size(); ++i) {
    call.shown.emplace_back("", call.positional[i]);
  }
  std::vector<std::size_t> empty_outputs;
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (given[i] == nullptr && member.params[i].by_ref) empty_outputs.push_back(i);
  }
  for (std::size_t i : empty_outputs) {
    call.named.push_back({static_cast<int32_t>(i), sv::Variant{}});
  }
  sv::BindArguments(member, call.positional, call.named);  // throws for a call that cannot be made
  return call;
}

CallRecord FailedCall(std::string_view name, const nev::RuntimeError& error) {
  CallRecord call;
  const sv::MemberInfo* member = sv::FindMember(name);
  call.member = std::string(member ? member->name : name);
  call.failed = true;
  call.error_number = error.number();
  call.error_text = error.record().description;
  return call;
}

void Session::ReportFailure(std::string_view name, const nev::RuntimeError& error) {
  Report(FailedCall(name, error));
}

CallRecord Session::Call(std::string_view name, const std::vector<Word>& args) {
  TakeMessages();
  PreparedCall prepared;
  try {
    prepared = PrepareCall(name, args);
  } catch (const nev::RuntimeError& e) {
    CallRecord call = FailedCall(name, e);
    Report(call);
    return call;
  }
  CallRecord call;
  call.member = std::string(prepared.member->name);
  call.procedure = prepared.member->result == sv::VarType::None;
  call.shown = std::move(prepared.shown);
  try {
    sv::InvokeResult result =
        sv::Invoke(*nev_, *prepared.member, prepared.positional, prepared.named);
    call.result = std::move(result.result);
    for (auto& [param, value] : result.outputs) call.out.emplace_back(std::string(param), value);
  } catch (const nev::RuntimeError& e) {
    call.failed = true;
    call.error_number = e.number();
    call.error_text = e.record().description;
  }
  call.messages = TakeMessages();
  Report(call);
  return call;
}

}  // namespace nevctl
