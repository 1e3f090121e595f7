#include "pe/authenticode.h"

#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

#include "base/openssl_ptr.h"
#include "pe/pe_format.h"

namespace virelo::tool {
namespace {

using namespace pe_format;

using unique_pkcs7 = std::unique_ptr<PKCS7, FreeWith<PKCS7, PKCS7_free>>;

struct FreeX509Stack {
    void operator()(STACK_OF(X509) * stack) const noexcept { sk_X509_free(stack); }  // the certificates stay p7's
};

std::string subject_of(X509* certificate) {
    const unique_bio bio{BIO_new(BIO_s_mem())};
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253) < 0) return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

Expected<std::optional<AuthenticodeSignature>> read_authenticode(const PeView& image) {
    using Out = Expected<std::optional<AuthenticodeSignature>>;
    const auto table = image.directory(certificate_directory);
    if (!table) return std::optional<AuthenticodeSignature>{};
    // The certificate table is addressed by file offset, not by RVA.
    const std::string_view bytes = image.bytes();
    if (table->address > bytes.size() || table->size > bytes.size() - table->address ||
        table->size < win_certificate_header) {
        return Out::failure("the Authenticode certificate table lies outside the file");
    }
    const std::string_view entry = bytes.substr(table->address, table->size);
    const std::uint32_t length = read_u32(entry, 0);
    if (length < win_certificate_header || length > entry.size() || read_u16(entry, 4) != win_cert_revision_2 ||
        read_u16(entry, 6) != win_cert_type_pkcs_signed_data) {
        return Out::failure("the Authenticode certificate table holds no PKCS#7 signature");
    }
    const auto* der = reinterpret_cast<const unsigned char*>(entry.data() + win_certificate_header);
    const unique_pkcs7 pkcs7{d2i_PKCS7(nullptr, &der, static_cast<long>(length - win_certificate_header))};
    if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get())) {
        ERR_clear_error();
        return Out::failure("the Authenticode signature is not a readable PKCS#7 signed-data structure");
    }
    AuthenticodeSignature signature;
    const std::unique_ptr<STACK_OF(X509), FreeX509Stack> signers{PKCS7_get0_signers(pkcs7.get(), nullptr, 0)};
    if (signers && sk_X509_num(signers.get()) > 0) signature.signer = subject_of(sk_X509_value(signers.get(), 0));
    ERR_clear_error();
    return std::optional<AuthenticodeSignature>{std::move(signature)};
}

std::string describe_authenticode(const Expected<std::optional<AuthenticodeSignature>>& signature) {
    if (!signature) return "unreadable (" + signature.error() + ")";
    if (!signature.value()) return "not signed";
    const std::string& signer = signature.value()->signer;
    return signer.empty() ? "signed (signer not found in the signature)" : "signed by " + signer;
}

}  // namespace virelo::tool
