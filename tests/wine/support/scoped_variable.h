#pragma once
// Sets or removes an environment variable of the test process for one scope
// and restores it afterwards (children started meanwhile inherit the change).

#include <windows.h>

#include <optional>
#include <string>

namespace virelo::test {

class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, std::optional<std::wstring> value) : name_{name} {
        const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
        if (size > 0) {
            std::wstring saved(size, L'\0');
            saved.resize(GetEnvironmentVariableW(name, saved.data(), size));
            saved_ = std::move(saved);
        }
        SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;
    ~ScopedVariable() { SetEnvironmentVariableW(name_.c_str(), saved_ ? saved_->c_str() : nullptr); }

private:
    std::wstring name_;
    std::optional<std::wstring> saved_;
};

}  // namespace virelo::test
