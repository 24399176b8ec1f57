// The reply reader over a byte stream: whatever the line brings, a collected frame stays within
// a frame's size, an answer's data fits the layout, and status bytes come only from a frame long
// enough to hold them.
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "protocol/exchange.h"
#include "protocol/frame.h"

using nev::protocol::ReplyReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  nev::protocol::Link link;
  link.frame_sent = data[0] & 1;
  link.echoes = data[0] & 2;
  const char terminator = (data[0] & 4) ? nev::protocol::ETX : nev::protocol::ACK;
  link.sent_seq = data[1];
  link.sent_cmd = data[2];
  std::optional<ReplyReader> reader;
  reader.emplace(link, terminator);
  for (size_t i = 3; i < size; ++i) {
    const ReplyReader::Step step = reader->Take(static_cast<char>(data[i]));
    if (reader->collected() > nev::protocol::kMaxReply) std::abort();
    if (step == ReplyReader::Step::kAnswer) {
      nev::protocol::Reply reply;
      reply.terminator = terminator;
      reader->Finish(reply);
      if (reply.data.size() > nev::protocol::kMaxData + 11) std::abort();
      reader.emplace(link, terminator);  // the next command's wait
    } else if (step == ReplyReader::Step::kNak) {
      reader.emplace(link, terminator);
    }
  }
  return 0;
}
