#include "pe/pe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "base/file_io.h"
#include "pe/pe_format.h"

namespace virelo::tool {
namespace {

using namespace pe_format;

bool read_at(int fd, void* out, std::size_t size, std::uint64_t offset) {
    return ::pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Whether [offset, offset + size) lies inside `total` bytes, without overflow.
bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t total) {
    return offset <= total && size <= total - offset;
}

}  // namespace

std::uint16_t read_u16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t read_u32(std::string_view bytes, std::size_t at) {
    return std::uint32_t{read_u16(bytes, at)} | std::uint32_t{read_u16(bytes, at + 2)} << 16;
}

Result check_pe_executable(const std::string& path) {
    unique_fd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!fd) return Result::failure("cannot read " + errno_text(path));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Result::failure("cannot read " + errno_text(path));
    if (!S_ISREG(st.st_mode)) return Result::failure(path + " is not a regular file");
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::string not_pe = path + " is not a Windows executable";

    unsigned char dos[dos_header_size];
    if (size < dos_header_size || !read_at(fd.get(), dos, sizeof dos, 0)) {
        return Result::failure(not_pe + " (too short for an MZ header)");
    }
    const std::string_view header{reinterpret_cast<const char*>(dos), sizeof dos};
    if (!header.starts_with(dos_magic)) return Result::failure(not_pe + " (no MZ header)");

    const std::uint64_t pe_offset = read_u32(header, e_lfanew);
    if (pe_offset < pe_signature.size() || pe_offset + pe_signature.size() + coff_header_size > size) {
        return Result::failure(not_pe + " (e_lfanew points outside the file)");
    }
    char signature[pe_signature.size()];
    if (!read_at(fd.get(), signature, sizeof signature, pe_offset) ||
        std::string_view{signature, sizeof signature} != pe_signature) {
        return Result::failure(not_pe + " (no PE signature at e_lfanew)");
    }
    return Result::success();
}

Expected<PeView> PeView::parse(std::string_view bytes, std::string_view name) {
    using Out = Expected<PeView>;
    const std::string not_pe = std::string{name} + " is not a Windows executable";
    const std::uint64_t total = bytes.size();
    if (total < dos_header_size || !bytes.starts_with(dos_magic)) return Out::failure(not_pe + " (no MZ header)");
    const std::uint64_t pe_offset = read_u32(bytes, e_lfanew);
    if (!fits(pe_offset, pe_signature.size() + coff_header_size, total) ||
        bytes.substr(pe_offset, pe_signature.size()) != pe_signature) {
        return Out::failure(not_pe + " (no PE signature at e_lfanew)");
    }
    const std::uint64_t coff = pe_offset + pe_signature.size();
    const std::uint16_t section_count = read_u16(bytes, coff + coff_number_of_sections);
    const std::uint16_t optional_size = read_u16(bytes, coff + coff_size_of_optional_header);
    const std::uint64_t optional = coff + coff_header_size;
    if (!fits(optional, optional_size, total) || optional_size < 2) {
        return Out::failure(not_pe + " (the optional header lies outside the file)");
    }
    const std::uint16_t magic = read_u16(bytes, optional);
    if (magic != pe32_magic && magic != pe32_plus_magic) {
        return Out::failure(not_pe + " (unknown optional header magic)");
    }
    // Where NumberOfRvaAndSizes and the directories sit in each format.
    const std::uint64_t count_at =
        magic == pe32_plus_magic ? pe32_plus_number_of_rva_and_sizes : pe32_number_of_rva_and_sizes;
    PeView view;
    view.bytes_ = bytes;
    if (optional_size >= count_at + 4) {
        const std::uint64_t declared = read_u32(bytes, optional + count_at);
        const std::uint64_t room = (optional_size - (count_at + 4)) / data_directory_size;
        for (std::uint64_t i = 0; i < std::min<std::uint64_t>({declared, room, max_data_directories}); ++i) {
            const std::uint64_t at = optional + count_at + 4 + i * data_directory_size;
            view.directories_.push_back({read_u32(bytes, at), read_u32(bytes, at + 4)});
        }
    }
    const std::uint64_t sections = optional + optional_size;
    if (!fits(sections, section_count * section_header_size, total)) {
        return Out::failure(not_pe + " (the section table lies outside the file)");
    }
    for (std::uint64_t i = 0; i < section_count; ++i) {
        const std::uint64_t at = sections + i * section_header_size;
        view.sections_.push_back({read_u32(bytes, at + section_virtual_address),
                                  read_u32(bytes, at + section_virtual_size),
                                  read_u32(bytes, at + section_pointer_to_raw_data),
                                  read_u32(bytes, at + section_size_of_raw_data)});
    }
    return view;
}

std::optional<PeView::Directory> PeView::directory(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= directories_.size()) return std::nullopt;
    const Directory d = directories_[static_cast<std::size_t>(index)];
    if (d.address == 0 || d.size == 0) return std::nullopt;
    return d;
}

std::optional<std::uint32_t> PeView::offset_of_rva(std::uint32_t rva) const {
    for (const Section& s : sections_) {
        if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
            const std::uint64_t offset = std::uint64_t{s.raw_offset} + (rva - s.virtual_address);
            if (offset < bytes_.size()) return static_cast<std::uint32_t>(offset);
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> PeView::at_rva(std::uint32_t rva, std::uint32_t size) const {
    for (const Section& s : sections_) {
        if (rva < s.virtual_address) continue;
        const std::uint64_t into = rva - s.virtual_address;
        if (!fits(into, size, s.raw_size)) continue;
        const std::uint64_t offset = std::uint64_t{s.raw_offset} + into;
        if (!fits(offset, size, bytes_.size())) return std::nullopt;
        return bytes_.substr(offset, size);
    }
    return std::nullopt;
}

}  // namespace virelo::tool
