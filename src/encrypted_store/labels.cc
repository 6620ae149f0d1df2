#include "encrypted_store/labels.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "diagnostics/logger.h"
#include "encrypted_store/hmac.h"
#include "encrypted_store/sha3.h"
#include "encrypted_store/sha3_many.h"
#include "index_model/parallel.h"

namespace ombrix {

namespace {

// Labels per team member below which waking a member costs more than it saves (a label
// costs about 0.15 microseconds, a wake-up several).
constexpr uint64_t kLabelsPerMember = 1024;

[[noreturn]] void Refuse(const std::string& logged, const std::string& thrown) {
  InternalLogger().error(logged);
  throw std::invalid_argument(thrown);
}

// The walk of a position is a path down a binary tree: step t of `rounds` hashes the state
// with bit (rounds - 1 - t) % 32 of the position, so positions whose first steps see the
// same bits share those states. The walker takes leaves (entry, position, output slot) in
// batches and goes down the tree one level at a time over the whole batch: every distinct
// prefix is hashed once, and all hashes of a level go through Sha3_256LanesMany together.
// A contiguous run of positions costs about two walk hashes per label instead of `rounds`.
template <typename Sink>  // void(uint64_t slot, uint64_t label, uint64_t mask)
class PrefixWalker {
 public:
  // Leaves per batch: enough that the few narrow levels near the root cost nothing, few
  // enough that a level's states stay in cache.
  static constexpr std::size_t kBatch = 2048;
  // Longest walk whose bits fit one 64-bit key; longer walks go one position at a time.
  static constexpr uint32_t kMaxKeyedRounds = 64;

  PrefixWalker(const std::vector<SaltAndSeed>& entries, uint32_t rounds, Sink& sink)
      : entries_(entries), rounds_(rounds), sink_(sink) {
    leaves_.reserve(kBatch);
  }
  ~PrefixWalker() = default;  // a batch not flushed is dropped (the caller failed)

  // REQUIRES: entry < entries.size().
  void Add(uint32_t entry, uint32_t position, uint64_t slot) {
    if (rounds_ > kMaxKeyedRounds) {
      uint64_t label = 0, mask = 0;
      LabelAndMask(entries_[entry], position, rounds_, label, mask);
      sink_(slot, label, mask);
      return;
    }
    leaves_.push_back({entry, WalkKey(position), slot});
    if (leaves_.size() == kBatch) Flush();
  }

  void Flush() {
    if (leaves_.empty()) return;
    // Leaves of one prefix must be adjacent: by entry, then by key.
    auto before = [](const Leaf& a, const Leaf& b) {
      return a.entry != b.entry ? a.entry < b.entry : a.key < b.key;
    };
    if (!std::is_sorted(leaves_.begin(), leaves_.end(), before)) {
      std::sort(leaves_.begin(), leaves_.end(), before);
    }
    Roots();
    for (uint32_t t = 0; t < rounds_; ++t) Descend(rounds_ - 1 - t);
    Finish();
    leaves_.clear();
  }

 private:
  struct Leaf {
    uint32_t entry;
    uint64_t key;  // the walk's bits in step order, the first step's bit most significant
    uint64_t slot;
  };
  struct Node {
    uint32_t begin, end;  // leaves under this node
  };

  // Bit b of the key is bit b % 32 of the position, for b < rounds.
  uint64_t WalkKey(uint32_t position) const {
    uint64_t key = 0;
    for (uint32_t b = 0; b < rounds_; b += 32) {
      const uint32_t width = std::min<uint32_t>(32, rounds_ - b);
      const uint64_t bits = width == 32 ? position : position & ((1u << width) - 1);
      key |= bits << b;
    }
    return key;
  }

  void Roots() {
    nodes_.clear();
    states_.clear();
    for (uint32_t i = 0; i < leaves_.size();) {
      uint32_t end = i + 1;
      while (end < leaves_.size() && leaves_[end].entry == leaves_[i].entry) ++end;
      const uint8_t* seed = entries_[leaves_[i].entry].data() + 32;
      nodes_.push_back({i, end});
      for (int lane = 0; lane < 4; ++lane) states_.push_back(LoadLe64(seed + 8 * lane));
      i = end;
    }
  }

  // One step for every node: its leaves split by key bit `bit` (those with 0 come first),
  // and each non-empty side becomes a child whose state is the hash of the parent's state
  // with that bit XORed into its lowest bit.
  void Descend(uint32_t bit) {
    next_nodes_.clear();
    next_states_.clear();
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
      const Node node = nodes_[n];
      const auto first_one =
          std::partition_point(leaves_.begin() + node.begin, leaves_.begin() + node.end,
                               [bit](const Leaf& leaf) { return ((leaf.key >> bit) & 1) == 0; });
      const uint32_t split = static_cast<uint32_t>(first_one - leaves_.begin());
      const uint64_t* parent = states_.data() + 4 * n;
      if (split > node.begin) AddChild({node.begin, split}, parent, 0);
      if (split < node.end) AddChild({split, node.end}, parent, 1);
    }
    Sha3_256LanesMany(next_states_.data(), next_states_.data(), next_nodes_.size());
    nodes_.swap(next_nodes_);
    states_.swap(next_states_);
  }

  void AddChild(Node child, const uint64_t* parent, uint64_t bit) {
    next_nodes_.push_back(child);
    next_states_.insert(next_states_.end(), parent, parent + 4);
    next_states_[next_states_.size() - 4] ^= bit;
  }

  // Label input: salt of the label then state bytes 0-15; mask input: salt of the mask
  // then state bytes 16-31. Both hashes of every node in one pass.
  void Finish() {
    const std::size_t count = nodes_.size();
    next_states_.resize(8 * count);
    for (std::size_t n = 0; n < count; ++n) {
      const uint8_t* salts = entries_[leaves_[nodes_[n].begin].entry].data();
      const uint64_t* s = states_.data() + 4 * n;
      uint64_t* label_in = next_states_.data() + 4 * n;
      uint64_t* mask_in = next_states_.data() + 4 * (count + n);
      label_in[0] = LoadLe64(salts);
      label_in[1] = LoadLe64(salts + 8);
      label_in[2] = s[0];
      label_in[3] = s[1];
      mask_in[0] = LoadLe64(salts + 16);
      mask_in[1] = LoadLe64(salts + 24);
      mask_in[2] = s[2];
      mask_in[3] = s[3];
    }
    Sha3_256LanesMany(next_states_.data(), next_states_.data(), 2 * count);
    for (std::size_t n = 0; n < count; ++n) {
      const uint64_t label = Lane0ToU64(next_states_[4 * n]);
      const uint64_t mask = Lane0ToU64(next_states_[4 * (count + n)]);
      for (uint32_t i = nodes_[n].begin; i < nodes_[n].end; ++i) {
        sink_(leaves_[i].slot, label, mask);
      }
    }
  }

  const std::vector<SaltAndSeed>& entries_;
  const uint32_t rounds_;
  Sink& sink_;
  std::vector<Leaf> leaves_;
  std::vector<Node> nodes_, next_nodes_;
  std::vector<uint64_t> states_, next_states_;  // 4 lanes per node
};

}  // namespace

SaltAndSeed DeriveSaltAndSeed(const std::array<uint8_t, 32>& hashed_index_key,
                              const std::array<uint8_t, 32>& index_key, uint32_t list_id) {
  const uint8_t id[4] = {static_cast<uint8_t>(list_id), static_cast<uint8_t>(list_id >> 8),
                         static_cast<uint8_t>(list_id >> 16), static_cast<uint8_t>(list_id >> 24)};
  const Key256 salts = HmacSha3_256(hashed_index_key, id, sizeof(id));
  const Key256 seed = HmacSha3_256(index_key, id, sizeof(id));
  SaltAndSeed entry;
  std::copy(salts.begin(), salts.end(), entry.begin());
  std::copy(seed.begin(), seed.end(), entry.begin() + 32);
  return entry;
}

void LabelAndMask(const SaltAndSeed& entry, uint32_t position, uint32_t rounds, uint64_t& label,
                  uint64_t& mask) {
  const uint8_t* bytes = entry.data();
  // The walk state as lanes: bit 0 of lane 0 is the lowest bit of byte 0.
  uint64_t s[4] = {LoadLe64(bytes + 32), LoadLe64(bytes + 40), LoadLe64(bytes + 48),
                   LoadLe64(bytes + 56)};
  for (uint32_t b = rounds; b-- > 0;) {
    s[0] ^= (position >> (b % 32)) & 1u;
    Sha3_256Lanes(s, s);
  }
  const uint64_t label_input[4] = {LoadLe64(bytes), LoadLe64(bytes + 8), s[0], s[1]};
  const uint64_t mask_input[4] = {LoadLe64(bytes + 16), LoadLe64(bytes + 24), s[2], s[3]};
  label = Sha3_256LanesToU64(label_input);
  mask = Sha3_256LanesToU64(mask_input);
}

ItemTokens GenerateItemTokens(const std::vector<uint32_t>& list_ids,
                              const std::vector<uint64_t>& hash_ids,
                              const std::vector<SaltAndSeed>& salts_and_seeds, uint32_t rounds,
                              const std::vector<uint32_t>& positions) {
  if (list_ids.size() != hash_ids.size()) {
    Refuse("The number of centroid Ids does not match the number item Ids.\nCentroid Ids: " +
               std::to_string(list_ids.size()) + "\nItem Ids: " + std::to_string(hash_ids.size()),
           "The number of centroid Ids does not match the number item Ids.");
  }
  if (rounds == 0) {
    Refuse("The number of round should be at least 1.",
           "The number of round should be at least 1.");
  }
  if (positions.size() != list_ids.size()) {
    const std::string text = "The number of positions does not match the number item Ids.";
    Refuse(text + "\nPositions: " + std::to_string(positions.size()) +
               "\nItem Ids: " + std::to_string(list_ids.size()),
           text);
  }
  for (uint32_t list : list_ids) {
    if (list >= salts_and_seeds.size()) {
      const std::string text = "List id " + std::to_string(list) + " is out of range for " +
                               std::to_string(salts_and_seeds.size()) + " lists";
      Refuse(text, text);
    }
  }

  const std::size_t n = list_ids.size();
  ItemTokens tokens;
  tokens.labels.resize(n);
  tokens.encrypted_hash_ids.resize(n);
  // Items of one list side by side (a stable sort keeps their positions in input order,
  // which is ascending for new items), so the walker sees shared prefixes. Counting sort
  // unless the vocabulary dwarfs the batch.
  std::vector<uint64_t> order(n);
  const std::size_t lists = salts_and_seeds.size();
  if (lists <= 4 * n) {
    std::vector<uint64_t> list_starts(lists + 1, 0);
    for (uint32_t list : list_ids) ++list_starts[list + 1];
    for (std::size_t c = 0; c < lists; ++c) list_starts[c + 1] += list_starts[c];
    for (uint64_t i = 0; i < n; ++i) order[list_starts[list_ids[i]]++] = i;
  } else {
    for (uint64_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint64_t a, uint64_t b) { return list_ids[a] < list_ids[b]; });
  }

  ParallelStatic(n, TeamForWork(n, kLabelsPerMember), [&](uint64_t first, uint64_t count) {
    auto sink = [&](uint64_t i, uint64_t label, uint64_t mask) {
      tokens.labels[i] = label;
      tokens.encrypted_hash_ids[i] = hash_ids[i] ^ mask;
    };
    PrefixWalker<decltype(sink)> walker(salts_and_seeds, rounds, sink);
    for (uint64_t k = first; k < first + count; ++k) {
      const uint64_t i = order[k];
      walker.Add(list_ids[i], positions[i], i);
    }
    walker.Flush();
  });
  return tokens;
}

void GenerateQueryTokens(const std::vector<uint32_t>& list_ids,
                         const std::vector<SaltAndSeed>& salts_and_seeds,
                         const std::vector<uint32_t>& counter_map, uint32_t rounds,
                         std::vector<uint64_t>& labels, std::vector<uint64_t>& masks,
                         const std::vector<uint64_t>& offsets) {
  if (rounds == 0) return;
  // Work is split over all (list, position) pairs rather than over lists, so one long
  // list does not leave the rest of the team idle; every pair is still computed once.
  const std::size_t m = list_ids.size();
  std::vector<uint64_t> starts(m + 1, 0);  // running sums of the pairs actually generated
  for (std::size_t j = 0; j < m; ++j) {
    const uint32_t list = list_ids[j];
    uint64_t count = list < counter_map.size() ? counter_map[list] : 0;
    const bool fits = j < offsets.size() && offsets[j] + count <= labels.size() &&
                      offsets[j] + count <= masks.size() && list < salts_and_seeds.size();
    if (!fits) count = 0;
    starts[j + 1] = starts[j] + count;
  }
  ParallelStatic(starts[m], TeamForWork(starts[m], kLabelsPerMember), [&](uint64_t first, uint64_t count) {
    auto sink = [&](uint64_t at, uint64_t label, uint64_t mask) {
      labels[at] = label;
      masks[at] = mask;
    };
    PrefixWalker<decltype(sink)> walker(salts_and_seeds, rounds, sink);
    std::size_t j = static_cast<std::size_t>(
        std::upper_bound(starts.begin(), starts.end(), first) - starts.begin() - 1);
    for (uint64_t k = first; k < first + count; ++k) {
      while (k >= starts[j + 1]) ++j;
      const uint64_t v = k - starts[j];
      walker.Add(list_ids[j], static_cast<uint32_t>(v), offsets[j] + v);
    }
    walker.Flush();
  });
}

}  // namespace ombrix
