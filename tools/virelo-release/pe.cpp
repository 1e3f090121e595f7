#include "pe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "file_io.h"

namespace virelo::tool {
namespace {

constexpr std::uint64_t dos_header_size = 64;
constexpr std::uint64_t e_lfanew_offset = 0x3C;
constexpr std::uint64_t coff_header_size = 20;

bool read_at(int fd, void* out, std::size_t size, std::uint64_t offset) {
    return ::pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

}  // namespace

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
    if (dos[0] != 'M' || dos[1] != 'Z') return Result::failure(not_pe + " (no MZ header)");

    const std::uint64_t pe_offset = std::uint64_t{dos[e_lfanew_offset]} |
                                    std::uint64_t{dos[e_lfanew_offset + 1]} << 8 |
                                    std::uint64_t{dos[e_lfanew_offset + 2]} << 16 |
                                    std::uint64_t{dos[e_lfanew_offset + 3]} << 24;
    if (pe_offset < 4 || pe_offset + 4 + coff_header_size > size) {
        return Result::failure(not_pe + " (e_lfanew points outside the file)");
    }
    unsigned char signature[4];
    if (!read_at(fd.get(), signature, sizeof signature, pe_offset) ||
        std::memcmp(signature, "PE\0\0", 4) != 0) {
        return Result::failure(not_pe + " (no PE signature at e_lfanew)");
    }
    return Result::success();
}

}  // namespace virelo::tool
