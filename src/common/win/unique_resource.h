#pragma once
// Unique owners for Windows handles: the handle is released when its owner
// leaves scope, on every path. Modelled on WIL's unique_any.

#include <windows.h>

#include <utility>

namespace virelo::win {

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

struct handle_traits {  // kernel handles whose failure value is null
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};
struct file_handle_traits {  // CreateFileW, CreateToolhelp32Snapshot
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};
struct hkey_traits {
    using type = HKEY;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::RegCloseKey(h); }
};

template <typename T>
struct local_memory_traits {  // buffers the system allocates for the caller
    using type = T;
    static type invalid() noexcept { return nullptr; }
    static void close(type p) noexcept { ::LocalFree(p); }
};

using unique_handle = unique_resource<handle_traits>;
using unique_file = unique_resource<file_handle_traits>;
using unique_hkey = unique_resource<hkey_traits>;
template <typename T>
using unique_local = unique_resource<local_memory_traits<T>>;

// A COM interface pointer that is released when it leaves scope.
template <typename T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    ~com_ptr() { reset(); }

    T* get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept {
        if (ptr_) std::exchange(ptr_, nullptr)->Release();
    }
    // For the void** out-parameter of CoCreateInstance and QueryInterface.
    void** put_void() noexcept {
        reset();
        return reinterpret_cast<void**>(&ptr_);
    }

private:
    T* ptr_ = nullptr;
};

}  // namespace virelo::win
