#pragma once
// Failures travel as values of quelt::expected<T, E>. Where the standard
// library has std::expected (libstdc++ 12 and newer) that is what it is; GCC
// 11's library lacks it, so a small stand-in with the same interface (the
// part of it this project uses) takes its place there. Code names only
// quelt::expected and quelt::unexpected, so both builds compile the same
// sources.
#include <version>

#if defined(__cpp_lib_expected) && __cpp_lib_expected >= 202202L

#include <expected>

namespace quelt {
using std::expected;
using std::unexpected;
}  // namespace quelt

#else

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace quelt {

template <class E>
class unexpected {
public:
    template <class G = E>
        requires(!std::is_same_v<std::remove_cvref_t<G>, unexpected> && std::is_constructible_v<E, G>)
    constexpr explicit unexpected(G&& error) : error_(std::forward<G>(error)) {}

    constexpr const E& error() const& noexcept { return error_; }
    constexpr E& error() & noexcept { return error_; }
    constexpr E&& error() && noexcept { return std::move(error_); }

private:
    E error_;
};

template <class E>
unexpected(E) -> unexpected<E>;

template <class T, class E>
class expected {
public:
    using value_type = T;
    using error_type = E;

    constexpr expected() : state_(std::in_place_index<0>) {}

    template <class U = T>
        requires(!std::is_same_v<std::remove_cvref_t<U>, expected> &&
                 !std::is_same_v<std::remove_cvref_t<U>, std::in_place_t> &&
                 std::is_constructible_v<T, U>)
    constexpr explicit(!std::is_convertible_v<U, T>) expected(U&& value)
        : state_(std::in_place_index<0>, std::forward<U>(value)) {}

    template <class G>
    constexpr expected(const unexpected<G>& failure) : state_(std::in_place_index<1>, failure.error()) {}
    template <class G>
    constexpr expected(unexpected<G>&& failure) : state_(std::in_place_index<1>, std::move(failure).error()) {}

    template <class... Args>
    constexpr explicit expected(std::in_place_t, Args&&... args)
        : state_(std::in_place_index<0>, std::forward<Args>(args)...) {}

    constexpr bool has_value() const noexcept { return state_.index() == 0; }
    constexpr explicit operator bool() const noexcept { return has_value(); }

    constexpr T& operator*() & noexcept { return *std::get_if<0>(&state_); }
    constexpr const T& operator*() const& noexcept { return *std::get_if<0>(&state_); }
    constexpr T&& operator*() && noexcept { return std::move(*std::get_if<0>(&state_)); }
    constexpr T* operator->() noexcept { return std::get_if<0>(&state_); }
    constexpr const T* operator->() const noexcept { return std::get_if<0>(&state_); }

    constexpr T& value() & { return std::get<0>(state_); }
    constexpr const T& value() const& { return std::get<0>(state_); }
    constexpr T&& value() && { return std::get<0>(std::move(state_)); }

    constexpr E& error() & noexcept { return *std::get_if<1>(&state_); }
    constexpr const E& error() const& noexcept { return *std::get_if<1>(&state_); }
    constexpr E&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

    template <class U>
    constexpr T value_or(U&& fallback) const& {
        return has_value() ? **this : static_cast<T>(std::forward<U>(fallback));
    }

private:
    std::variant<T, E> state_;
};

template <class E>
class expected<void, E> {
public:
    using value_type = void;
    using error_type = E;

    constexpr expected() noexcept = default;
    template <class G>
    constexpr expected(const unexpected<G>& failure) : error_(std::in_place, failure.error()) {}
    template <class G>
    constexpr expected(unexpected<G>&& failure) : error_(std::in_place, std::move(failure).error()) {}

    constexpr bool has_value() const noexcept { return !error_.has_value(); }
    constexpr explicit operator bool() const noexcept { return has_value(); }
    constexpr void operator*() const noexcept {}
    constexpr void value() const {}

    constexpr E& error() & noexcept { return *error_; }
    constexpr const E& error() const& noexcept { return *error_; }
    constexpr E&& error() && noexcept { return std::move(*error_); }

private:
    std::optional<E> error_;
};

}  // namespace quelt

#endif
