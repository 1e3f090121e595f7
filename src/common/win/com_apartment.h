#pragma once
// COM on the calling thread for the owner's scope. CoUninitialize is called
// only when CoInitializeEx succeeded (S_OK, or S_FALSE when the thread was
// already initialised), as COM pairs them; a failed initialisation is kept
// for the caller to report.

#include <windows.h>
#include <objbase.h>

namespace virelo::win {

class com_apartment {
public:
    explicit com_apartment(DWORD model = COINIT_APARTMENTTHREADED) noexcept
        : result_{CoInitializeEx(nullptr, model)} {}
    com_apartment(const com_apartment&) = delete;
    com_apartment& operator=(const com_apartment&) = delete;
    ~com_apartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }

    bool ok() const noexcept { return SUCCEEDED(result_); }
    HRESULT result() const noexcept { return result_; }

private:
    HRESULT result_;
};

}  // namespace virelo::win
