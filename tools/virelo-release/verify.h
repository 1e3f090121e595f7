#pragma once
// The checks the setup program makes on a release, applied to a release folder.

#include <string>
#include <vector>

#include "common/result.h"
#include "openssl_ptr.h"
#include "release/release.h"

namespace virelo::tool {

// Signature over the exact manifest bytes, the manifest's rules, and the
// executable's size and digest (and the release API's copy, when present).
// The first failure is returned as one sentence.
Expected<Release> verify_release_folder(const std::string& folder, EVP_PKEY* public_key);

// `virelo-release verify --key BLOB DIR`
int run_verify(const std::vector<std::string>& args);

}  // namespace virelo::tool
