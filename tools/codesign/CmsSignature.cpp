#include "CmsSignature.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include "Trust.h"

namespace quorvane::tools {
namespace {

[[noreturn]] void fail(const std::string& why) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    std::string message = why;
    if (code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        message += " (" + std::string(reason) + ")";
    }
    throw SignatureError(message);
}

BioPtr memoryBio(std::string_view bytes) {
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio)
        fail("out of memory");
    return bio;
}

} // namespace

SigningIdentity SigningIdentity::fromPem(std::string_view keyPem, std::string_view certificatePem,
                                         std::string_view chainPem) {
    SigningIdentity identity;
    BioPtr keyBio = memoryBio(keyPem);
    identity.key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!identity.key)
        fail("cannot read the private key");
    std::vector<X509Ptr> certs = readPemCertificates(certificatePem);
    for (auto& cert : readPemCertificates(chainPem))
        certs.push_back(std::move(cert));
    for (auto& cert : certs) {
        if (!identity.leaf && X509_check_private_key(cert.get(), identity.key.get()) == 1)
            identity.leaf = std::move(cert);
        else
            identity.chain.push_back(std::move(cert));
    }
    ERR_clear_error();
    if (!identity.leaf)
        throw SignatureError("no certificate given belongs to the private key");
    return identity;
}

std::string signDetached(std::string_view content, const SigningIdentity& identity) {
    X509StackPtr extra(sk_X509_new_null());
    if (!extra)
        fail("out of memory");
    for (const auto& cert : identity.chain) {
        X509_up_ref(cert.get());
        sk_X509_push(extra.get(), cert.get());
    }
    BioPtr data = memoryBio(content);
    CmsPtr cms(CMS_sign(identity.leaf.get(), identity.key.get(), extra.get(), data.get(),
                        CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
    if (!cms)
        fail("cannot sign");
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || i2d_CMS_bio(out.get(), cms.get()) != 1)
        fail("cannot encode the signature");
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(out.get(), &bytes);
    return std::string(bytes, static_cast<std::size_t>(length));
}

SignedBy verifyDetached(std::string_view der, std::string_view content) {
    if (der.size() > maxSignatureBytes)
        throw SignatureError("signature too large");
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (!cms)
        fail("signature is not CMS");
    if (p != reinterpret_cast<const unsigned char*>(der.data()) + der.size())
        throw SignatureError("trailing bytes after the signature");
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
        CMS_is_detached(cms.get()) != 1)
        throw SignatureError("signature is not detached signed data");
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    if (!infos || sk_CMS_SignerInfo_num(infos) != 1)
        throw SignatureError("signature must have exactly one signer");
    X509_ALGOR* digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(infos, 0), nullptr, nullptr, &digestAlgorithm,
                             nullptr);
    const ASN1_OBJECT* digestObject = nullptr;
    if (digestAlgorithm)
        X509_ALGOR_get0(&digestObject, nullptr, nullptr, digestAlgorithm);
    const int digest = digestObject ? OBJ_obj2nid(digestObject) : NID_undef;
    if (digest != NID_sha256 && digest != NID_sha384 && digest != NID_sha512)
        throw SignatureError("signature digest is not SHA-2");

    BioPtr data = memoryBio(content);
    // The certificates are judged by the chain check against the embedded anchors.
    if (CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr,
                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1)
        fail("signature does not match the code directory");
    // After a successful CMS_verify the signer info knows its certificate.
    X509* leaf = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(infos, 0), nullptr, &leaf, nullptr, nullptr);
    if (!leaf)
        throw SignatureError("the signer's certificate is not in the signature");
    SignedBy result;
    result.leaf = upRef(leaf);

    X509StackPtr certs(CMS_get1_certs(cms.get()));
    for (int i = 0; certs && i < sk_X509_num(certs.get()); ++i) {
        X509* cert = sk_X509_value(certs.get(), i);
        if (X509_cmp(cert, result.leaf.get()) != 0)
            result.others.push_back(upRef(cert));
    }
    return result;
}

} // namespace quorvane::tools
