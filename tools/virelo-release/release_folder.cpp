#include "release_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/hex.h"
#include "common/manifest.h"
#include "common/unicode_lower.h"
#include "common/utf.h"
#include "file_io.h"
#include "keys.h"
#include "release/release.h"

namespace virelo::tool {

Expected<FileFacts> file_facts(const std::string& path) {
    using Out = Expected<FileFacts>;
    unique_fd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!fd) return Out::failure("cannot read " + errno_text(path));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Out::failure("cannot read " + errno_text(path));
    if (!S_ISREG(st.st_mode)) return Out::failure(path + " is not a regular file");
    if (static_cast<std::uint64_t>(st.st_size) > download_limit) {
        return Out::failure(path + " has " + std::to_string(st.st_size) +
                            " bytes, more than the setup program downloads (" +
                            std::to_string(download_limit) + ")");
    }
    FileFacts facts;
    Sha256 hasher;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Out::failure("cannot read " + errno_text(path));
        if (n == 0) break;
        hasher.update({buffer, static_cast<std::size_t>(n)});
        facts.size += static_cast<std::uint64_t>(n);
        if (facts.size > download_limit) return Out::failure(path + " grew while it was read");
    }
    facts.sha256 = to_hex_lower(hasher.finish());
    return facts;
}

std::string manifest_text(std::string_view version, std::string_view file, std::uint64_t size,
                          std::string_view sha256) {
    std::string text = "{\n";
    text += "  \"app\": \"Virelo\",\n";
    text += "  \"version\": \"" + std::string{version} + "\",\n";
    text += "  \"file\": \"" + std::string{file} + "\",\n";
    text += "  \"size\": " + std::to_string(size) + ",\n";
    text += "  \"sha256\": \"" + std::string{sha256} + "\"\n";
    text += "}\n";
    return text;
}

std::string describe_manifest_damage(std::string_view manifest_bytes) {
    const std::string text = decode_utf8_lossy(manifest_bytes);
    for (const char* key : {"app", "version", "file", "size", "sha256"}) {
        if (!manifest_field(text, key)) {
            return std::string{"no usable \""} + key +
                   "\" value (only the first occurrence of the quoted key counts)";
        }
    }
    if (const auto app = *manifest_field(text, "app"); app != "Virelo") {
        return "\"app\" is \"" + app + "\", not \"Virelo\"";
    }
    if (const auto size = *manifest_field(text, "size"); !parse_decimal_u64(size)) {
        return "\"size\" (" + size + ") is not an unsigned 64-bit decimal number";
    }
    if (const auto file = *manifest_field(text, "file"); !is_acceptable_file_name(file)) {
        return "\"file\" (" + file + ") must be made of letters, digits, '.', '-' and '_' only, end in .exe "
               "and hold no ..";
    }
    if (const auto sha256 = to_lower_full(*manifest_field(text, "sha256")); sha256.size() != 64) {
        return "\"sha256\" has " + std::to_string(sha256.size()) + " bytes, not 64";
    }
    return "damaged";
}

}  // namespace virelo::tool
