#pragma once
// The checks the setup program makes on a release, as `verify`, `publish`
// and `refresh` apply them to a release folder, and `verify` to a live site.

#include <optional>
#include <string>
#include <string_view>

#include "base/openssl_ptr.h"
#include "common/result.h"
#include "publishing/release_folder.h"
#include "release/key_fingerprint.h"
#include "release/release.h"

namespace virelo::tool {

struct CheckedManifest {
    Release release;
    Freshness freshness;
};

// A signature that does not verify under the key a command was given, and
// why, as far as the manifest's "key" tells: signed by another key, changed
// after signing, or (a manifest that names no key) either.
struct SignatureMismatch {
    SignatureFailure cause;
    std::optional<std::string> named;  // the key the manifest names
    std::string given;                 // the fingerprint of the key the command was given
    bool well_formed = true;           // the signature decodes to the 64 bytes of r||s
};

// Nothing when `signature_text` verifies `manifest` under `public_key`.
std::optional<SignatureMismatch> find_signature_mismatch(std::string_view manifest, std::string_view signature_text,
                                                         EVP_PKEY* public_key);

// "virelo-release publish --key PEM --exe DIR/FILE --version V --name FILE --out DIR" for the
// release the manifest describes (read without its signature), to publish it again.
std::string republish_command(std::string_view manifest, std::string_view folder);

// The signature over the exact manifest bytes, the manifest's rules, the form
// of its freshness fields and that the key it names is the one given; the
// names are what messages call the two. `folder`, when known, goes into the
// command a message suggests.
Expected<CheckedManifest> check_signed_manifest(std::string_view manifest, std::string_view signature_text,
                                                EVP_PKEY* public_key, std::string_view manifest_name,
                                                std::string_view signature_name, std::string_view folder = {});

// A failure when the manifest's expiry has passed by this machine's clock.
Result check_not_expired(const Freshness& freshness, std::string_view manifest_name);

// check_signed_manifest on a folder, the executable's size and digest (and
// the release API's copy, when present), and the executable rebuilt from the
// compressed copy and from each delta, whose bases lie in `base_folder`
// (empty: the folder itself). The first failure is returned as one sentence,
// with what to do about it.
Expected<CheckedManifest> verify_release_folder(const std::string& folder, EVP_PKEY* public_key,
                                                const std::string& base_folder = {});

// "compressed copy NAME (31 %); 2 deltas, from A (4 %) B (6 %); ..." for a checked release.
std::string describe_parts(const Release& release);

}  // namespace virelo::tool
