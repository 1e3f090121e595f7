#pragma once
// Results as values: an operation that can fail returns success or an error
// text, never throws across a layer.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace virelo {

// Success, or a complete user-facing error sentence (or a short transfer
// error that a caller wraps into one).
class Result {
public:
    static Result success() { return Result{}; }
    static Result failure(std::string text) { return Result{std::move(text)}; }

    bool ok() const noexcept { return !error_; }
    explicit operator bool() const noexcept { return ok(); }
    const std::string& error() const { return *error_; }
    std::string take_error() { return std::move(*error_); }

private:
    Result() = default;
    explicit Result(std::string text) : error_{std::move(text)} {}
    std::optional<std::string> error_;
};

// A value, or an error text.
template <typename T>
class Expected {
public:
    Expected(T value) : state_{std::in_place_index<0>, std::move(value)} {}
    static Expected failure(std::string text) {
        return Expected{std::in_place_index<1>, std::move(text)};
    }

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const std::string& error() const { return std::get<1>(state_); }

private:
    template <std::size_t I>
    Expected(std::in_place_index_t<I> tag, std::string text) : state_{tag, std::move(text)} {}
    std::variant<T, std::string> state_;
};

}  // namespace virelo
