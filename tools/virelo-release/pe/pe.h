#pragma once
// Recognising a Windows executable by its headers, and finding the parts of
// one the tool reads: the version resource, the Authenticode certificate
// table, the setup program's built-in constants.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace virelo::tool {

// Success when the file starts with an MZ header whose e_lfanew points, inside
// the file, at a "PE\0\0" signature followed by room for the COFF header.
Result check_pe_executable(const std::string& path);

// A parsed PE image in memory. Every range it hands out lies inside the bytes.
class PeView {
public:
    struct Directory {
        std::uint32_t address = 0;  // an RVA; a file offset for the certificate table
        std::uint32_t size = 0;
    };

    // The headers of a PE32 or PE32+ image; `name` appears in messages.
    static Expected<PeView> parse(std::string_view bytes, std::string_view name);

    std::string_view bytes() const { return bytes_; }

    // The data directory `index`, or nothing when the image has none there.
    std::optional<Directory> directory(int index) const;

    // `size` bytes at an RVA, when one section's file data holds them all.
    std::optional<std::string_view> at_rva(std::uint32_t rva, std::uint32_t size) const;

    // The file offset of an RVA's section data (for offsets relative to a section start).
    std::optional<std::uint32_t> offset_of_rva(std::uint32_t rva) const;

private:
    struct Section {
        std::uint32_t virtual_address = 0;
        std::uint32_t virtual_size = 0;
        std::uint32_t raw_offset = 0;
        std::uint32_t raw_size = 0;
    };

    std::string_view bytes_;
    std::vector<Directory> directories_;
    std::vector<Section> sections_;
};

// Little-endian reads from a byte range the caller has bounds-checked.
std::uint16_t read_u16(std::string_view bytes, std::size_t at);
std::uint32_t read_u32(std::string_view bytes, std::size_t at);

}  // namespace virelo::tool
