// Feeds arbitrary bytes to the manifest reader, as a hostile site could,
// with its optional freshness fields.
#include "common/freshness.h"
#include "common/manifest.h"
#include "common/utf.h"
#include "release/key_fingerprint.h"
#include "release/release.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "manifest_fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes{reinterpret_cast<const char*>(data), size};

    // The raw extractor must cope with ill-formed text too.
    for (const char* key : {"app", "version", "file", "size", "sha256", "serial", "expires", "key", ""}) {
        if (const auto value = virelo::manifest_field(bytes, key)) check(value->size() <= bytes.size(), "value size");
    }

    if (const auto release = virelo::read_manifest(bytes)) {
        check(virelo::is_acceptable_file_name(release->file), "an accepted manifest's file name is refused");
        check(release->sha256.size() == 64, "digest length");
        // Fields come from decoded text, so they are well-formed UTF-8.
        check(virelo::decode_utf8_lossy(release->version) == release->version, "version is not UTF-8");
        if (release->serial) check(*release->serial >= 1 && *release->serial <= virelo::max_serial, "serial range");
        // A recorded serial above the release's is always a replay.
        if (release->serial && *release->serial < virelo::max_serial) {
            check(virelo::judge_freshness(*release, 0, *release->serial + 1) == virelo::Freshness::older, "replay");
        }
    }

    // The key a manifest names is read even when its signature failed, for
    // the log: only ever a value of the fingerprint's bounded form.
    if (const auto key = virelo::manifest_key(bytes)) check(virelo::is_key_fingerprint(*key), "key form");

    // The freshness fields' own forms: a serial reads back to its digits, an
    // expiry to its exact text.
    if (const auto serial = virelo::parse_serial(bytes)) {
        check(std::to_string(*serial) == bytes, "a serial that is not its plain digits");
    }
    if (const auto expires = virelo::parse_expiry(bytes)) {
        check(virelo::format_expiry(*expires) == std::string{bytes}, "an expiry that does not read back");
    }
    return 0;
}
