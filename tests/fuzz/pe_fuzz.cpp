// The publisher tool's check that a file is a Windows executable, on
// arbitrary file contents (written to an in-memory file it reads by path).

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "pe.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) virelo::fuzz::fail("pe_fuzz", what);
}

// The rule, written out on its own: MZ, and e_lfanew pointing inside the file
// at "PE\0\0" with room for the 20-byte COFF header after it.
bool looks_like_pe(const std::uint8_t* data, std::size_t size) {
    if (size < 64 || data[0] != 'M' || data[1] != 'Z') return false;
    const std::uint64_t at = std::uint64_t{data[0x3C]} | std::uint64_t{data[0x3D]} << 8 |
                             std::uint64_t{data[0x3E]} << 16 | std::uint64_t{data[0x3F]} << 24;
    if (at < 4 || at + 24 > size) return false;
    return std::memcmp(data + at, "PE\0\0", 4) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("pe_fuzz", MFD_CLOEXEC);
    if (fd < 0) virelo::fuzz::fail("pe_fuzz", "no in-memory file");
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        virelo::fuzz::fail("pe_fuzz", "cannot write the in-memory file");
    }
    const auto result = virelo::tool::check_pe_executable("/proc/self/fd/" + std::to_string(fd));
    check(bool(result) == looks_like_pe(data, size), "the check disagrees with the rule");
    return 0;
}
