#include "publishing/part_check.h"

#include "common/hex.h"
#include "publishing/delta_encoder.h"
#include "signing/keys.h"

namespace virelo::tool {
namespace {

Result check_bytes(std::string_view bytes, const ReleasePart& part, std::string_view where) {
    if (bytes.size() != part.size) {
        return Result::failure(std::string{where} + " has " + std::to_string(bytes.size()) +
                               " bytes; the manifest says " + std::to_string(part.size));
    }
    if (const std::string digest = to_hex_lower(sha256(bytes)); digest != part.sha256) {
        return Result::failure(std::string{where} + " has SHA-256 " + digest + "; the manifest says " + part.sha256);
    }
    return Result::success();
}

Result check_rebuilt(const Expected<FileFacts>& rebuilt, const Release& release, std::string_view where) {
    if (!rebuilt) return Result::failure(std::string{where} + " does not rebuild the executable: " + rebuilt.error());
    if (rebuilt.value().size != release.size || rebuilt.value().sha256 != release.sha256) {
        return Result::failure(std::string{where} + " rebuilds " + std::to_string(rebuilt.value().size) +
                               " bytes with SHA-256 " + rebuilt.value().sha256 + ", not the release's " +
                               std::to_string(release.size) + " bytes with " + release.sha256);
    }
    return Result::success();
}

}  // namespace

Result check_compressed_copy(std::string_view bytes, const Release& release, std::string_view where) {
    if (auto ok = check_bytes(bytes, *release.compressed, where); !ok) return ok;
    return check_rebuilt(rebuild_from_gzip(bytes, release.size), release, where);
}

Result check_delta(std::string_view bytes, std::string_view base, const DeltaPart& delta, const Release& release,
                   std::string_view where, std::string_view base_where) {
    if (auto ok = check_bytes(bytes, delta.part, where); !ok) return ok;
    if (const std::string digest = to_hex_lower(sha256(base)); digest != delta.base_sha256) {
        return Result::failure(std::string{base_where} + ", the base of " + std::string{where} + ", has SHA-256 " +
                               digest + "; the manifest keys the delta by " + delta.base_sha256);
    }
    return check_rebuilt(rebuild_from_delta(base, bytes, release.size), release, where);
}

}  // namespace virelo::tool
