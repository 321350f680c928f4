#include "board/fault_plan.hpp"

#include <cerrno>
#include <cstdlib>

namespace zelk_sim {
namespace {

struct KindInfo {
  const char* name;
  FaultKind kind;
  int default_arg;
  int min_arg;
  int max_arg;
};

// The split and delay bounds keep a reply inside the host's 5 s read unless a test asks for
// more; longer delays are allowed so a host time-out can be provoked too.
constexpr KindInfo kKinds[] = {
    {"noreply", FaultKind::kNoReply, 0, 0, 0},
    {"badsum", FaultKind::kBadSum, 0, 0, 0},
    {"badheader", FaultKind::kBadHeader, 0, 0, 0},
    {"short", FaultKind::kShort, 4, 2, static_cast<int>(kFrameSize) - 1},
    {"split", FaultKind::kSplit, 100, 0, 60000},
    {"delay", FaultKind::kDelay, 200, 0, 60000},
    {"garbage", FaultKind::kGarbage, 6, 1, 4096},
};

const KindInfo* find_kind(const std::string& name) {
  for (const KindInfo& k : kKinds)
    if (name == k.name) return &k;
  return nullptr;
}

const KindInfo& info(FaultKind kind) {
  for (const KindInfo& k : kKinds)
    if (k.kind == kind) return k;
  return kKinds[0];
}

// Filler after a reply: starts with a header byte so that a host which does not flush its
// input after a reply reads it as the start of a (broken) next reply.
Bytes garbage(int n) {
  Bytes out(static_cast<std::size_t>(n), 0xEE);
  out[0] = kHeader;
  return out;
}

}  // namespace

bool parse_number(const std::string& word, long& value) {
  if (word.empty() || word[0] == '+' || word[0] == ' ') return false;
  bool is_hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  errno = 0;
  char* end = nullptr;
  value = std::strtol(word.c_str(), &end, is_hex ? 16 : 10);
  return errno == 0 && end != word.c_str() && *end == '\0';
}

const char* fault_name(FaultKind kind) {
  return info(kind).name;
}

std::string fault_text(const Fault& fault) {
  const KindInfo& k = info(fault.kind);
  if (k.max_arg == 0) return k.name;
  return std::string(k.name) + " " + std::to_string(fault.arg);
}

bool FaultPlan::add(const std::vector<std::string>& words, std::string& why) {
  if (words.empty() || words.size() > 3) {
    why = "usage: fault KIND [COUNT [ARG]] | fault clear";
    return false;
  }
  const KindInfo* k = find_kind(words[0]);
  if (k == nullptr) {
    why = "unknown fault '" + words[0] + "' (noreply badsum badheader short split delay garbage)";
    return false;
  }
  long count = 1;
  if (words.size() > 1 && (!parse_number(words[1], count) || count < 1 || count > 1000000)) {
    why = "bad count '" + words[1] + "'";
    return false;
  }
  long arg = k->default_arg;
  if (words.size() > 2) {
    if (k->max_arg == 0) {
      why = std::string(k->name) + " takes no argument";
      return false;
    }
    if (!parse_number(words[2], arg) || arg < k->min_arg || arg > k->max_arg) {
      why = std::string(k->name) + " argument must be " + std::to_string(k->min_arg) + ".." +
            std::to_string(k->max_arg);
      return false;
    }
  }
  pending_.push_back({{k->kind, static_cast<int>(arg)}, static_cast<int>(count)});
  return true;
}

std::optional<Fault> FaultPlan::take() {
  if (pending_.empty()) return std::nullopt;
  Fault f = pending_.front().fault;
  if (--pending_.front().count == 0) pending_.pop_front();
  return f;
}

int FaultPlan::pending() const {
  int n = 0;
  for (const Entry& e : pending_) n += e.count;
  return n;
}

std::vector<Chunk> shape_reply(const Frame& reply, const std::optional<Fault>& fault) {
  Bytes bytes(reply.begin(), reply.end());
  if (!fault) return {{0, bytes}};
  switch (fault->kind) {
    case FaultKind::kNoReply:
      return {};
    case FaultKind::kBadSum:
      bytes.back() = static_cast<std::uint8_t>(bytes.back() + 1);
      return {{0, bytes}};
    case FaultKind::kBadHeader:
      // Only the header is wrong: the checksum matches the bytes as sent.
      bytes[0] = 0xAA;
      bytes.back() = checksum(bytes.data(), bytes.size() - 1);
      return {{0, bytes}};
    case FaultKind::kShort: {
      // The first arg-1 bytes of the reply and a checksum over them.
      bytes.resize(static_cast<std::size_t>(fault->arg));
      bytes.back() = checksum(bytes.data(), bytes.size() - 1);
      return {{0, bytes}};
    }
    case FaultKind::kSplit: {
      const auto half = static_cast<std::ptrdiff_t>(kFrameSize / 2);
      return {{0, Bytes(bytes.begin(), bytes.begin() + half)},
              {fault->arg, Bytes(bytes.begin() + half, bytes.end())}};
    }
    case FaultKind::kDelay:
      return {{fault->arg, bytes}};
    case FaultKind::kGarbage: {
      Bytes extra = garbage(fault->arg);
      bytes.insert(bytes.end(), extra.begin(), extra.end());
      return {{0, bytes}};
    }
  }
  return {{0, bytes}};
}

}  // namespace zelk_sim
