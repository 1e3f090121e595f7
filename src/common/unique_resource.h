#pragma once
// A unique owner for any handle-like value: the value is released when its
// owner leaves scope, on every path. Modelled on WIL's unique_any. Portable,
// so the Windows handles and the tool's file descriptors share one owner.

#include <utility>

namespace virelo {

// Traits: `type`, `invalid()` and `close(type)`.
template <typename Traits>
class unique_resource {
public:
    using type = typename Traits::type;

    unique_resource() noexcept = default;
    explicit unique_resource(type value) noexcept : value_{value} {}
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& other) noexcept : value_{other.release()} {}
    unique_resource& operator=(unique_resource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_resource() { reset(); }

    type get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    void reset(type value = Traits::invalid()) noexcept {
        if (value_ != Traits::invalid()) Traits::close(value_);
        value_ = value;
    }
    [[nodiscard]] type release() noexcept { return std::exchange(value_, Traits::invalid()); }

    // For out-parameters: releases what is held and hands out the slot.
    type* put() noexcept {
        reset();
        return &value_;
    }

private:
    type value_ = Traits::invalid();
};

}  // namespace virelo
