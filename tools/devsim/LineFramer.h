#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace devsim {

// Cuts a byte stream into "\n"-terminated lines, whatever the read boundaries were. A line
// that grows past the limit is thrown away up to its "\n", so a peer that never sends one
// cannot make us hold on to unbounded memory.
class LineFramer {
public:
    explicit LineFramer(std::size_t maxLine) : max_(maxLine) {}

    // onLine receives each complete line, "\n" included.
    template <class OnLine>
    void Feed(std::string_view bytes, OnLine&& onLine) {
        while (!bytes.empty()) {
            const std::size_t end = bytes.find('\n');
            const std::string_view part =
                bytes.substr(0, end == std::string_view::npos ? end : end + 1);
            bytes.remove_prefix(part.size());
            if (end == std::string_view::npos) {
                Keep(part);
                return;
            }
            if (!discarding_ && pending_.size() + part.size() <= max_) {
                pending_ += part;
                onLine(std::string_view(pending_));
            }
            pending_.clear();
            discarding_ = false;
        }
    }

    void Clear() {
        pending_.clear();
        discarding_ = false;
    }

private:
    void Keep(std::string_view part) {
        if (discarding_) return;
        if (pending_.size() + part.size() > max_) {
            pending_.clear();
            discarding_ = true;
            return;
        }
        pending_ += part;
    }

    std::size_t max_;
    std::string pending_;
    bool discarding_ = false;
};

}  // namespace devsim
