#include "support/signing.h"

#include <algorithm>
#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>
#include <stdexcept>

#include "common/base64.h"
#include "common/win/files.h"
#include "release/digest.h"
#include "release/key_fingerprint.h"
#include "support/process.h"

namespace virelo::test {
namespace {

struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    Provider() {
        if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) {
            throw std::runtime_error("no ECDSA_P256 provider");
        }
    }
    ~Provider() { BCryptCloseAlgorithmProvider(handle, 0); }
};

struct Key {
    BCRYPT_KEY_HANDLE handle = nullptr;
    ~Key() {
        if (handle) BCryptDestroyKey(handle);
    }
};

Bytes export_key(BCRYPT_KEY_HANDLE key, const wchar_t* type) {
    ULONG size = 0;
    if (BCryptExportKey(key, nullptr, type, nullptr, 0, &size, 0) != 0) throw std::runtime_error("export size");
    Bytes blob(size);
    if (BCryptExportKey(key, nullptr, type, blob.data(), size, &size, 0) != 0) throw std::runtime_error("export");
    blob.resize(size);
    return blob;
}

// One DER INTEGER from a 32-byte big-endian unsigned value.
void append_der_integer(Bytes& out, std::span<const std::uint8_t> value) {
    std::size_t skip = 0;
    while (skip + 1 < value.size() && value[skip] == 0) ++skip;
    value = value.subspan(skip);
    const bool pad = value[0] & 0x80;
    out.push_back(0x02);
    out.push_back(static_cast<std::uint8_t>(value.size() + (pad ? 1 : 0)));
    if (pad) out.push_back(0);
    out.insert(out.end(), value.begin(), value.end());
}

}  // namespace

namespace {

Bytes read_demo_key(const char* name) {
    const char* source = std::getenv("VIRELO_SOURCE_DIR");
    if (!source) throw std::runtime_error("VIRELO_SOURCE_DIR is not set");
    auto blob = win::read_file(windows_path(std::string{source} + "/keys/demo/" + name));
    if (!blob) throw std::runtime_error(std::string{"cannot read "} + name);
    return *blob;
}

}  // namespace

Bytes demo_private_key() { return read_demo_key("demo-signing-key.private.blob"); }

Bytes demo_next_private_key() { return read_demo_key("demo-next-signing-key.private.blob"); }

Bytes demo_public_key() { return read_demo_key("demo-signing-key.pub"); }

std::string key_fingerprint(std::span<const std::uint8_t> public_blob) {
    const auto digest = sha256(public_blob);
    return digest ? key_fingerprint_of_digest(*digest) : std::string{};
}

KeyPair generate_key_pair() {
    Provider provider;
    Key key;
    if (BCryptGenerateKeyPair(provider.handle, &key.handle, 256, 0) != 0 ||
        BCryptFinalizeKeyPair(key.handle, 0) != 0) {
        throw std::runtime_error("cannot generate a key pair");
    }
    return {export_key(key.handle, BCRYPT_ECCPUBLIC_BLOB), export_key(key.handle, BCRYPT_ECCPRIVATE_BLOB)};
}

Bytes sign_raw(std::span<const std::uint8_t> private_blob, std::span<const std::uint8_t> message) {
    Provider provider;
    Key key;
    if (BCryptImportKeyPair(provider.handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, &key.handle,
                            const_cast<PUCHAR>(private_blob.data()), static_cast<ULONG>(private_blob.size()),
                            0) != 0) {
        throw std::runtime_error("cannot import the private key");
    }
    auto digest = sha256(message);
    if (!digest) throw std::runtime_error("no digest");
    Bytes signature(64);
    ULONG size = 0;
    if (BCryptSignHash(key.handle, nullptr, digest->data(), 32, signature.data(), 64, &size, 0) != 0 || size != 64) {
        throw std::runtime_error("cannot sign");
    }
    return signature;
}

std::string demo_signature(std::string_view manifest) {
    return encode_base64(sign_raw(demo_private_key(), bytes_of(manifest)));
}

Bytes raw_to_der(std::span<const std::uint8_t> raw) {
    Bytes body;
    append_der_integer(body, raw.first(32));
    append_der_integer(body, raw.subspan(32, 32));
    // SEQUENCE, its length, then the two INTEGERs.
    Bytes der(2 + body.size());
    der[0] = 0x30;
    der[1] = static_cast<std::uint8_t>(body.size());
    std::copy(body.begin(), body.end(), der.begin() + 2);
    return der;
}

std::string manifest_for(std::span<const std::uint8_t> executable, std::string_view version, std::string_view file) {
    return "{\n  \"app\": \"Virelo\",\n  \"version\": \"" + std::string{version} + "\",\n  \"file\": \"" +
           std::string{file} + "\",\n  \"size\": " + std::to_string(executable.size()) + ",\n  \"sha256\": \"" +
           sha256_hex(executable) + "\"\n}\n";
}

}  // namespace virelo::test
