#pragma once
// Splits one libFuzzer input into the pieces a harness needs, and the single
// way a harness reports a broken invariant: print it and abort, so libFuzzer
// keeps the input as a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace quelt::fuzz {

[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
    std::fprintf(stderr, "invariant broken: %.*s %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline void require(bool condition, std::string_view what, std::string_view detail = {}) {
    if (!condition) fail(what, detail);
}

// Consumes fixed-width values from the front and text up to a separator.
class InputCursor {
public:
    InputCursor(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

    std::span<const std::uint8_t> rest() const { return rest_; }
    bool empty() const { return rest_.empty(); }

    template <class T>
    T take() {
        T value{};
        std::size_t n = rest_.size() < sizeof value ? rest_.size() : sizeof value;
        if (n) std::memcpy(&value, rest_.data(), n);
        rest_ = rest_.subspan(n);
        return value;
    }

    // Text up to the next 0 byte (not included), or the rest of the input.
    std::string text() {
        std::size_t end = 0;
        while (end < rest_.size() && rest_[end] != 0) ++end;
        std::string out(reinterpret_cast<const char*>(rest_.data()), end);
        rest_ = rest_.subspan(end < rest_.size() ? end + 1 : end);
        return out;
    }

private:
    std::span<const std::uint8_t> rest_;
};

inline std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace quelt::fuzz
