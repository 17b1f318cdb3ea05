#include "history/EventTextGrams.h"

#include <utility>

namespace history_grams {

namespace {

unsigned Fold(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b;
}

// Single bytes are keys 0-255, pairs follow them.
std::int64_t PairKey(unsigned first, unsigned second) { return 256 + (first << 8 | second); }

}  // namespace

std::optional<std::int64_t> KeyFor(const std::string& text) {
    const std::size_t n = text.size();
    if (n == 0) return std::nullopt;
    if (n == 1) return Fold(text[0]);
    return PairKey(Fold(text[n - 2]), Fold(text[n - 1]));
}

void BlockCollector::Note(std::int64_t key) {
    if (seen_.test(static_cast<std::size_t>(key))) return;
    seen_.set(static_cast<std::size_t>(key));
    keys_.push_back(key);
}

bool BlockCollector::Add(std::int64_t id, const std::vector<std::string>& fields) {
    const std::int64_t block = BlockOf(id);
    if (block_ && *block_ != block && !Finish()) return false;
    block_ = block;
    for (const std::string& field : fields) {
        unsigned previous = 0;
        for (std::size_t i = 0; i < field.size(); ++i) {
            const unsigned b = Fold(field[i]);
            Note(b);
            if (i > 0) Note(PairKey(previous, b));
            previous = b;
        }
    }
    return true;
}

bool BlockCollector::Finish() {
    if (!block_) return true;
    const bool ok = keys_.empty() || sink_(*block_, keys_);
    for (const std::int64_t key : keys_) seen_.reset(static_cast<std::size_t>(key));
    keys_.clear();
    block_.reset();
    return ok;
}

}  // namespace history_grams
