// Feeds arbitrary bytes to the manifest reader, as a hostile site could.
#include "common/manifest.h"
#include "common/utf.h"
#include "release/release.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes{reinterpret_cast<const char*>(data), size};

    // The raw extractor must cope with ill-formed text too.
    for (const char* key : {"app", "version", "file", "size", "sha256", ""}) {
        if (const auto value = virelo::manifest_field(bytes, key)) {
            if (value->size() > bytes.size()) std::abort();
        }
    }

    if (const auto release = virelo::read_manifest(bytes)) {
        if (!virelo::is_acceptable_file_name(release->file)) std::abort();
        if (release->sha256.size() != 64) std::abort();
        // Fields come from decoded text, so they are well-formed UTF-8.
        if (virelo::decode_utf8_lossy(release->version) != release->version) std::abort();
    }
    return 0;
}
