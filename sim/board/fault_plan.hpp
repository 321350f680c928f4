// Faults a test asks for, applied one per reply, and the reply bytes they turn into.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "board/frame.hpp"

namespace zelk_sim {

enum class FaultKind { kNoReply, kBadSum, kBadHeader, kShort, kSplit, kDelay, kGarbage };

struct Fault {
  FaultKind kind;
  int arg;  // length for short, gap for split, delay in ms, byte count for garbage
};

// Bytes to write to the host once delay_ms has passed since the command came in.
struct Chunk {
  int delay_ms = 0;
  Bytes bytes;
};

// A first-in first-out list of faults, each for a number of replies.
class FaultPlan {
 public:
  // Parses "KIND [COUNT [ARG]]" into the plan; on error returns false and sets why.
  bool add(const std::vector<std::string>& words, std::string& why);
  void clear() { pending_.clear(); }
  // The fault for the next reply, if any, used up by this call.
  std::optional<Fault> take();
  int pending() const;

 private:
  struct Entry {
    Fault fault;
    int count;
  };
  std::deque<Entry> pending_;
};

const char* fault_name(FaultKind kind);
std::string fault_text(const Fault& fault);

// The writes that carry `reply` to the host under `fault` (none for kNoReply).
std::vector<Chunk> shape_reply(const Frame& reply, const std::optional<Fault>& fault);

// Strict integer parse: decimal, or hex with 0x; the whole word must be used.
bool parse_number(const std::string& word, long& value);

}  // namespace zelk_sim
