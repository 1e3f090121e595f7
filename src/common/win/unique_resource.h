#pragma once
// Unique owners for Windows handles: traits for the portable owner.

#include <windows.h>

#include <utility>

#include "common/unique_resource.h"

namespace virelo::win {

using virelo::unique_resource;

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
