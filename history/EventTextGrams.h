#pragma once

// The history's index for texts too short for the trigram index (one or two characters):
// for every block of BlockEvents consecutive event ids, which single bytes and which pairs of
// adjacent bytes occur in its events' texts, device names, addresses and serials (ASCII letters
// in lower case, as LIKE ignores their case). A short text can only be in the blocks that hold
// its last byte pair, so a text found nowhere costs one look at this table instead of a look at
// every event. A block of a few hundred events holds a few hundred such pieces.
#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace history_grams {

constexpr int BlockShift = 8;
constexpr std::int64_t BlockEvents = std::int64_t{1} << BlockShift;

constexpr std::int64_t BlockOf(std::int64_t id) { return id >> BlockShift; }
constexpr std::int64_t FirstIdOf(std::int64_t block) { return block << BlockShift; }

// The piece a search for `text` looks up: its last byte, or its last two bytes, folded as the
// index folds. Any text that holds `text` holds this piece. Nullopt for an empty text.
std::optional<std::int64_t> KeyFor(const std::string& text);

// Gathers the pieces of one block's events as the writer reads them in id order, and hands
// each block's pieces over when the next block starts and at Finish.
class BlockCollector {
public:
    using Sink = std::function<bool(std::int64_t block, const std::vector<std::int64_t>& keys)>;
    explicit BlockCollector(Sink sink) : sink_(std::move(sink)) {}

    // One event's id and searchable fields; false when the sink failed.
    bool Add(std::int64_t id, const std::vector<std::string>& fields);
    bool Finish();

private:
    void Note(std::int64_t key);

    Sink sink_;
    std::optional<std::int64_t> block_;
    std::bitset<256 + 65536> seen_;
    std::vector<std::int64_t> keys_;
};

}  // namespace history_grams
