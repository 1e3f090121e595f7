// The publisher tool's PE reader on arbitrary file contents: the check that a
// file is a Windows executable (an in-memory file it reads by path), the
// header parser, the version resource and the Authenticode table reader.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "pe/authenticode.h"
#include "pe/pe.h"
#include "pe/pe_version.h"

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

    using virelo::tool::PeView;
    const std::string_view bytes{reinterpret_cast<const char*>(data), size};
    const auto image = PeView::parse(bytes, "input");
    if (!image) return 0;
    check(looks_like_pe(data, size), "a parsed image fails the executable check");
    // Every range the view hands out lies inside the bytes.
    const auto inside = [&](std::string_view part) {
        return part.data() >= bytes.data() && part.data() + part.size() <= bytes.data() + bytes.size();
    };
    for (int index = 0; index < 16; ++index) {
        const auto directory = image.value().directory(index);
        if (!directory) continue;
        if (const auto part = image.value().at_rva(directory->address, directory->size)) {
            check(part->size() == directory->size && inside(*part), "a directory's bytes outside the image");
        }
        if (const auto offset = image.value().offset_of_rva(directory->address)) {
            check(*offset <= size, "a section offset past the end");
        }
    }
    if (const auto version = virelo::tool::read_version_resource(image.value()); version && version.value()) {
        virelo::tool::version_matches("1.0.0", *version.value());
        check(!virelo::tool::describe_versions(*version.value()).empty(), "an empty version description");
    }
    check(!virelo::tool::describe_authenticode(virelo::tool::read_authenticode(image.value())).empty(),
          "an empty signature description");
    return 0;
}
