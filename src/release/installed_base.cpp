#include "release/installed_base.h"

#include <windows.h>

#include <algorithm>

#include "common/win/wide.h"

namespace virelo {

std::optional<InstalledBase> InstalledBase::open(const std::string& path) {
    // Shared for reading and deletion as the running program's loader shares
    // it; writers are kept out while the delta reads it.
    win::unique_file file{CreateFileW(win::to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS,
                                      nullptr)};
    if (!file) return std::nullopt;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return std::nullopt;
    return InstalledBase{std::move(file), static_cast<std::uint64_t>(size.QuadPart)};
}

bool InstalledBase::read_at(std::uint64_t offset, std::span<std::uint8_t> into) {
    while (!into.empty()) {
        // A synchronous handle reads at the position the OVERLAPPED names.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const auto wanted = static_cast<DWORD>(std::min<std::size_t>(into.size(), 1u << 30));
        DWORD read = 0;
        if (!ReadFile(file_.get(), into.data(), wanted, &read, &at) || read == 0) return false;
        into = into.subspan(read);
        offset += read;
    }
    return true;
}

}  // namespace virelo
