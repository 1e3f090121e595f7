#pragma once
// Results as values: an operation that can fail returns success or an error
// text, never throws across a layer. Where a caller decides on the cause, the
// failure also carries a kind (an enum of that operation's own), so nothing
// decides by comparing texts. Both types are [[nodiscard]], and the build
// makes a dropped one an error: a failure the program may ignore is ignored
// on purpose, in code that says so (and logs it).

#include <cstdlib>
#include <string>
#include <utility>
#include <variant>

namespace virelo {

// The kind of failures nobody decides on: they are only reported.
struct NoKind {
    friend constexpr bool operator==(NoKind, NoKind) = default;
};

namespace detail {
// Reading the error of a success, or the value of a failure, is a bug in the
// caller: it ends the process at once instead of reading an empty text.
[[noreturn]] inline void result_misuse() noexcept { std::abort(); }
}  // namespace detail

// Success, or a complete user-facing error sentence (or a short transfer
// error that a caller wraps into one), with its kind.
template <typename Kind = NoKind>
class [[nodiscard]] BasicResult {
public:
    static BasicResult success() { return BasicResult{}; }
    static BasicResult failure(std::string text, Kind kind = Kind{}) {
        BasicResult result;
        result.failed_ = true;
        result.kind_ = kind;
        result.error_ = std::move(text);
        return result;
    }

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }

    // Only on a failure.
    const std::string& error() const {
        if (!failed_) detail::result_misuse();
        return error_;
    }
    Kind kind() const {
        if (!failed_) detail::result_misuse();
        return kind_;
    }
    std::string take_error() {
        if (!failed_) detail::result_misuse();
        return std::move(error_);
    }

    // The same outcome without its kind, for a caller that only reports it.
    BasicResult<NoKind> reported() && {
        return failed_ ? BasicResult<NoKind>::failure(std::move(error_)) : BasicResult<NoKind>::success();
    }

private:
    BasicResult() = default;
    bool failed_ = false;
    Kind kind_{};
    std::string error_;
};

using Result = BasicResult<>;

// For a cleanup step after a failure that is already being reported (a
// temporary file left by a failed write, say): its own failure adds nothing.
// Every other failure the program goes on without is logged where it happens.
template <typename Kind>
void already_failed(const BasicResult<Kind>&) noexcept {}

// A value, or an error text with its kind.
template <typename T, typename Kind = NoKind>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_{std::in_place_index<0>, std::move(value)} {}
    static Expected failure(std::string text, Kind kind = Kind{}) {
        return Expected{std::in_place_index<1>, Failure{std::move(text), kind}};
    }

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // Only on a success.
    T& value() & { return *checked_value(); }
    const T& value() const& { return *checked_value(); }
    T&& value() && { return std::move(*checked_value()); }

    // Only on a failure.
    const std::string& error() const { return checked_failure().text; }
    Kind kind() const { return checked_failure().kind; }

private:
    struct Failure {
        std::string text;
        Kind kind;
    };
    template <std::size_t I, typename V>
    Expected(std::in_place_index_t<I> tag, V failure) : state_{tag, std::move(failure)} {}

    T* checked_value() {
        if (auto* value = std::get_if<0>(&state_)) return value;
        detail::result_misuse();
    }
    const T* checked_value() const {
        if (const auto* value = std::get_if<0>(&state_)) return value;
        detail::result_misuse();
    }
    const Failure& checked_failure() const {
        if (const auto* failure = std::get_if<1>(&state_)) return *failure;
        detail::result_misuse();
    }

    std::variant<T, Failure> state_;
};

}  // namespace virelo
