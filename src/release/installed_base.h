#pragma once
// The installed executable as the base of a delta: read at offsets through
// the file, never mapped or held whole, while the running Virelo keeps it open.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/win/unique_resource.h"
#include "release/byte_streams.h"

namespace virelo {

class InstalledBase final : public BaseReader {
public:
    // Nothing when the file cannot be opened or sized.
    static std::optional<InstalledBase> open(const std::string& path);

    std::uint64_t size() const override { return size_; }
    bool read_at(std::uint64_t offset, std::span<std::uint8_t> into) override;

private:
    InstalledBase(win::unique_file file, std::uint64_t size) : file_{std::move(file)}, size_{size} {}
    win::unique_file file_;
    std::uint64_t size_;
};

}  // namespace virelo
