#pragma once
// The checks the setup program makes on a release, as `verify`, `publish`
// and `refresh` apply them to a release folder, and `verify` to a live site.

#include <string>
#include <string_view>

#include "base/openssl_ptr.h"
#include "common/result.h"
#include "publishing/release_folder.h"
#include "release/release.h"

namespace virelo::tool {

struct CheckedManifest {
    Release release;
    Freshness freshness;
};

// The signature over the exact manifest bytes, the manifest's rules and the
// form of its freshness fields; the names are what messages call the two.
Expected<CheckedManifest> check_signed_manifest(std::string_view manifest, std::string_view signature_text,
                                                EVP_PKEY* public_key, std::string_view manifest_name,
                                                std::string_view signature_name);

// A failure when the manifest's expiry has passed by this machine's clock.
Result check_not_expired(const Freshness& freshness, std::string_view manifest_name);

// check_signed_manifest on a folder, the executable's size and digest (and
// the release API's copy, when present), and the executable rebuilt from the
// compressed copy and from each delta, whose bases lie in `base_folder`
// (empty: the folder itself). The first failure is returned as one sentence.
Expected<CheckedManifest> verify_release_folder(const std::string& folder, EVP_PKEY* public_key,
                                                const std::string& base_folder = {});

// "compressed copy NAME (31 %); 2 deltas, from A (4 %) B (6 %); ..." for a checked release.
std::string describe_parts(const Release& release);

}  // namespace virelo::tool
