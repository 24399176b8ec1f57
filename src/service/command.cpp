#include "service/command.h"

#include <new>

#include "nev/message.h"
#include "protocol/frame.h"

namespace nev::service {

void ReportError(NEVState& state, const char* method, const ErrorRecord& error) {
  if (state.silent_mode) {
    if (state.log) state.log->Critical(kClassName, "", method, &error);
  } else {
    ShowMessage(error.description, kStyleCritical);
  }
}

ErrorRecord CurrentErrorRecord(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const RuntimeError& e) {
    return e.record();
  } catch (const std::bad_alloc&) {
    return {7, StandardDescription(7), "NEVComServer"};
  } catch (const std::exception& e) {
    return {51, e.what(), "NEVComServer"};
  } catch (...) {
    return {51, StandardDescription(51), "NEVComServer"};
  }
}

protocol::Reply Exchange(NEVState& state, uint8_t code, std::string_view wire_data,
                         char terminator) {
  const std::string frame = protocol::BuildFrame(state.link.sequence, code, wire_data);
  protocol::SendFrame(state.link, frame);
  return protocol::ReadReply(state.link, terminator);
}

}  // namespace nev::service
