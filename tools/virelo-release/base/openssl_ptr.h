#pragma once
// Owners for OpenSSL objects: each is freed by its own function when the
// owner goes out of scope.

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

namespace virelo::tool {

template <typename T, void (*Free)(T*)>
struct FreeWith {
    void operator()(T* p) const noexcept { Free(p); }
};

using unique_pkey = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY, EVP_PKEY_free>>;
using unique_pkey_ctx = std::unique_ptr<EVP_PKEY_CTX, FreeWith<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using unique_md_ctx = std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX, EVP_MD_CTX_free>>;
using unique_bio = std::unique_ptr<BIO, FreeWith<BIO, BIO_free_all>>;
using unique_bignum = std::unique_ptr<BIGNUM, FreeWith<BIGNUM, BN_free>>;
using unique_ecdsa_sig = std::unique_ptr<ECDSA_SIG, FreeWith<ECDSA_SIG, ECDSA_SIG_free>>;
using unique_param_bld = std::unique_ptr<OSSL_PARAM_BLD, FreeWith<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using unique_params = std::unique_ptr<OSSL_PARAM, FreeWith<OSSL_PARAM, OSSL_PARAM_free>>;

}  // namespace virelo::tool
