#include "publishing/release_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "base/file_io.h"
#include "common/freshness.h"
#include "common/hex.h"
#include "common/manifest.h"
#include "common/unicode_lower.h"
#include "common/utf.h"
#include "release/release.h"
#include "signing/keys.h"

namespace virelo::tool {

namespace {

constexpr std::size_t digest_prefix = 12;

bool is_hex_prefix(std::string_view text) {
    return text.size() == digest_prefix &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

std::string compressed_copy_name(std::string_view file, std::string_view sha256) {
    return std::string{file} + "." + std::string{sha256.substr(0, digest_prefix)} + ".gz";
}

std::string delta_name(std::string_view file, std::string_view base_sha256, std::string_view sha256) {
    return std::string{file} + "." + std::string{base_sha256.substr(0, digest_prefix)} + "-" +
           std::string{sha256.substr(0, digest_prefix)} + ".vdelta";
}

bool is_part_file_name(std::string_view name) {
    const auto digests_before = [&](std::string_view suffix, std::size_t digests) {
        if (!name.ends_with(suffix)) return false;
        std::string_view rest = name.substr(0, name.size() - suffix.size());
        for (std::size_t i = 0; i < digests; ++i) {
            if (rest.size() < digest_prefix + 1) return false;
            if (!is_hex_prefix(rest.substr(rest.size() - digest_prefix))) return false;
            const char separator = rest[rest.size() - digest_prefix - 1];
            if (separator != (i + 1 == digests ? '.' : '-')) return false;
            rest.remove_suffix(digest_prefix + 1);
        }
        return is_acceptable_file_name(rest);
    };
    return digests_before(".gz", 1) || digests_before(".vdelta", 2);
}

Expected<FileFacts> copy_file(const std::string& source, const std::string& target) {
    using Out = Expected<FileFacts>;
    unique_fd in{::open(source.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!in) return Out::failure("cannot read " + errno_text(source));
    unique_fd out{::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)};
    if (!out) return Out::failure("cannot create " + errno_text(target));
    FileFacts facts;
    Sha256 hasher;
    std::array<char, 1 << 16> buffer;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Out::failure("cannot read " + errno_text(source));
        if (n == 0) break;
        const std::string_view chunk{buffer.data(), static_cast<std::size_t>(n)};
        if (auto written = write_all(out.get(), chunk, target); !written) return Out::failure(written.error());
        hasher.update(chunk);
        facts.size += chunk.size();
        if (facts.size > download_limit) return Out::failure(source + " grew beyond the download limit while copied");
    }
    if (::fsync(out.get()) != 0 || ::close(out.release()) != 0) {
        return Out::failure("cannot write " + errno_text(target));
    }
    facts.sha256 = to_hex_lower(hasher.finish());
    return facts;
}

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

std::string manifest_text(const ManifestFields& fields) {
    std::string text = "{\n";
    text += "  \"app\": \"Virelo\",\n";
    text += "  \"version\": \"" + fields.version + "\",\n";
    text += "  \"file\": \"" + fields.file + "\",\n";
    text += "  \"size\": " + std::to_string(fields.size) + ",\n";
    text += "  \"sha256\": \"" + fields.sha256 + "\"";
    if (fields.freshness.serial) text += ",\n  \"serial\": " + std::to_string(*fields.freshness.serial);
    if (fields.freshness.expires) {
        text += ",\n  \"expires\": \"" + format_expiry(*fields.freshness.expires).value_or("") + "\"";
    }
    const auto part_text = [](const ReleasePart& part) {
        return "\"file\": \"" + part.file + "\", \"size\": " + std::to_string(part.size) + ", \"sha256\": \"" +
               part.sha256 + "\"}";
    };
    if (fields.compressed) text += ",\n  \"compressed\": {" + part_text(*fields.compressed);
    if (!fields.deltas.empty()) {
        text += ",\n  \"deltas\": {";
        for (std::size_t i = 0; i < fields.deltas.size(); ++i) {
            const DeltaPart& delta = fields.deltas[i];
            text += (i == 0 ? "\n    \"" : ",\n    \"") + delta.base_sha256 + "\": {";
            if (!delta.base_file.empty()) text += "\"base\": \"" + delta.base_file + "\", ";
            text += part_text(delta.part);
        }
        text += "\n  }";
    }
    if (fields.key) text += ",\n  \"key\": \"" + *fields.key + "\"";
    text += "\n}\n";
    return text;
}

ManifestFields fields_of(const Release& release, const Freshness& freshness) {
    return {release.version, release.file, release.size, release.sha256, freshness, release.compressed,
            release.deltas, release.key};
}

Expected<Freshness> read_freshness(std::string_view manifest_bytes) {
    const std::string text = decode_utf8_lossy(manifest_bytes);
    Freshness freshness;
    if (const auto serial = manifest_field(text, "serial")) {
        freshness.serial = parse_serial(*serial);
        if (!freshness.serial) {
            return Expected<Freshness>::failure("\"serial\" (" + *serial +
                                                ") must be decimal digits from 1 to 9007199254740992, "
                                                "without sign or leading zero");
        }
    }
    if (const auto expires = manifest_field(text, "expires")) {
        freshness.expires = parse_expiry(*expires);
        if (!freshness.expires) {
            return Expected<Freshness>::failure("\"expires\" (" + *expires +
                                                ") must be a UTC time written YYYY-MM-DDTHH:MM:SSZ");
        }
    }
    return freshness;
}

std::string describe_freshness(const Freshness& freshness) {
    std::string text = freshness.serial ? "serial " + std::to_string(*freshness.serial) : "no serial";
    text += freshness.expires ? ", expires " + format_expiry(*freshness.expires).value_or("?") : ", no expiry";
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
    if (const auto freshness = read_freshness(manifest_bytes); !freshness) return freshness.error();
    return "damaged";
}

}  // namespace virelo::tool
