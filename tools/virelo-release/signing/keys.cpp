#include "signing/keys.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace virelo::tool {
namespace {

constexpr int coordinate_size = 32;

// The last OpenSSL error as text, and the queue cleared for the next call.
std::string openssl_error() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown OpenSSL error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// Refuses to prompt for a passphrase: the tool runs unattended.
int no_passphrase(char*, int, int, void*) { return -1; }

bool is_p256(EVP_PKEY* key) {
    if (!EVP_PKEY_is_a(key, "EC")) return false;
    char group[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) != 1) {
        return false;
    }
    return std::strcmp(group, "prime256v1") == 0;
}

bool coordinate(EVP_PKEY* key, const char* name, std::uint8_t* out) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return false;
    const unique_bignum value{raw};
    return BN_bn2binpad(value.get(), out, coordinate_size) == coordinate_size;
}

}  // namespace

Expected<unique_pkey> generate_signing_key() {
    unique_pkey key{EVP_EC_gen("P-256")};
    if (!key) return Expected<unique_pkey>::failure("cannot generate a key: " + openssl_error());
    return key;
}

Expected<std::string> private_key_pem(EVP_PKEY* key) {
    const unique_bio bio{BIO_new(BIO_s_mem())};
    if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return Expected<std::string>::failure("cannot encode the private key: " + openssl_error());
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

Expected<unique_pkey> parse_private_key(std::string_view pem, std::string_view source) {
    using Out = Expected<unique_pkey>;
    const unique_bio bio{BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()))};
    if (!bio) return Out::failure("cannot read " + std::string{source} + ": " + openssl_error());
    unique_pkey key{PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr)};
    if (!key) {
        ERR_clear_error();
        const bool encrypted = pem.find("ENCRYPTED") != std::string_view::npos;
        return Out::failure(std::string{source} + (encrypted ? ": encrypted private keys are not supported"
                                                            : ": not a PEM private key"));
    }
    if (!is_p256(key.get())) {
        ERR_clear_error();
        return Out::failure(std::string{source} + ": not an ECDSA P-256 (prime256v1) key");
    }
    // PKCS#8 may carry the public point beside the private scalar, and OpenSSL
    // takes both as written: a damaged file would sign with one half while the
    // tool derived the other.
    const unique_pkey_ctx check{EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr)};
    if (!check || EVP_PKEY_pairwise_check(check.get()) != 1) {
        ERR_clear_error();
        return Out::failure(std::string{source} + ": its public half does not match its private half (a damaged key)");
    }
    return key;
}

PublicBlob public_blob(EVP_PKEY* key) {
    PublicBlob blob{'E', 'C', 'S', '1', coordinate_size, 0, 0, 0};
    const bool ok = coordinate(key, OSSL_PKEY_PARAM_EC_PUB_X, blob.data() + 8) &&
                    coordinate(key, OSSL_PKEY_PARAM_EC_PUB_Y, blob.data() + 8 + coordinate_size);
    ERR_clear_error();
    if (!ok) blob.fill(0);  // never happens for a key that passed is_p256
    return blob;
}

Expected<unique_pkey> parse_public_blob(std::span<const std::uint8_t> blob, std::string_view source) {
    using Out = Expected<unique_pkey>;
    const std::string name{source};
    if (blob.size() != 72) {
        return Out::failure(name + ": a public key blob has 72 bytes, this file has " + std::to_string(blob.size()));
    }
    static constexpr std::uint8_t header[] = {'E', 'C', 'S', '1', coordinate_size, 0, 0, 0};
    if (!std::equal(std::begin(header), std::end(header), blob.begin())) {
        return Out::failure(name + ": not an ECDSA P-256 public key blob (expected \"ECS1\" and key length 32)");
    }
    // Uncompressed point: 0x04, X, Y.
    std::vector<std::uint8_t> point(1 + 2 * coordinate_size);
    point[0] = 0x04;
    std::copy(blob.begin() + 8, blob.end(), point.begin() + 1);

    const unique_param_bld builder{OSSL_PARAM_BLD_new()};
    if (!builder ||
        OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1) {
        return Out::failure(name + ": " + openssl_error());
    }
    const unique_params params{OSSL_PARAM_BLD_to_param(builder.get())};
    const unique_pkey_ctx context{EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr)};
    EVP_PKEY* raw = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        ERR_clear_error();
        return Out::failure(name + ": the key is not a point on the P-256 curve");
    }
    unique_pkey key{raw};
    const unique_pkey_ctx check{EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr)};
    if (!check || EVP_PKEY_public_check(check.get()) != 1) {
        ERR_clear_error();
        return Out::failure(name + ": the key is not a point on the P-256 curve");
    }
    return key;
}

Expected<RawSignature> der_to_raw_signature(std::span<const std::uint8_t> der) {
    const unsigned char* cursor = der.data();
    const unique_ecdsa_sig sig{d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()))};
    if (!sig || cursor != der.data() + der.size()) {
        ERR_clear_error();
        return Expected<RawSignature>::failure("not a DER ECDSA signature");
    }
    RawSignature raw{};
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), coordinate_size) != coordinate_size ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + coordinate_size, coordinate_size) !=
            coordinate_size) {
        ERR_clear_error();
        return Expected<RawSignature>::failure("signature values too large for P-256");
    }
    return raw;
}

Expected<RawSignature> sign_message(EVP_PKEY* key, std::string_view message) {
    using Out = Expected<RawSignature>;
    const unique_md_ctx context{EVP_MD_CTX_new()};
    std::size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        return Out::failure("cannot sign: " + openssl_error());
    }
    std::vector<std::uint8_t> der(length);
    if (EVP_DigestSign(context.get(), der.data(), &length, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        return Out::failure("cannot sign: " + openssl_error());
    }
    der.resize(length);
    return der_to_raw_signature(der);
}

bool verify_message(EVP_PKEY* key, std::string_view message, std::span<const std::uint8_t> signature) {
    if (signature.size() != 2 * std::size_t{coordinate_size}) return false;
    unique_ecdsa_sig sig{ECDSA_SIG_new()};
    unique_bignum r{BN_bin2bn(signature.data(), coordinate_size, nullptr)};
    unique_bignum s{BN_bin2bn(signature.data() + coordinate_size, coordinate_size, nullptr)};
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
        ERR_clear_error();
        return false;
    }
    r.release();  // now owned by sig
    s.release();

    unsigned char* der = nullptr;
    const int der_length = i2d_ECDSA_SIG(sig.get(), &der);
    if (der_length <= 0) {
        ERR_clear_error();
        return false;
    }
    const std::unique_ptr<unsigned char, void (*)(unsigned char*)> der_owner{
        der, [](unsigned char* p) { OPENSSL_free(p); }};

    const unique_md_ctx context{EVP_MD_CTX_new()};
    const bool ok = context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
                    EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(der_length),
                                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    ERR_clear_error();
    return ok;
}

Sha256::Sha256() : context_{EVP_MD_CTX_new()} {
    // Only fails when memory runs out; there is nothing sensible to go on with.
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) std::abort();
}

void Sha256::update(std::string_view bytes) { EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()); }

Digest Sha256::finish() {
    Digest digest{};
    EVP_DigestFinal_ex(context_.get(), digest.data(), nullptr);
    return digest;
}

Digest sha256(std::string_view bytes) {
    Sha256 hasher;
    hasher.update(bytes);
    return hasher.finish();
}

}  // namespace virelo::tool
