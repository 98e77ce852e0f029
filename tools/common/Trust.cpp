#include "Trust.h"

#include <cstdio>

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace quorvane::tools {
namespace {

bool isAppleMark(const ASN1_OBJECT* object) {
    char text[128];
    if (OBJ_obj2txt(text, sizeof text, object, 1) <= 0)
        return false;
    const std::string_view oid(text);
    return oid == oidDeveloperIdApplication || oid == oidDeveloperIdInstaller ||
           oid.starts_with("1.2.840.113635.100.6.");
}

// Every unhandled critical extension of `cert` is one of Apple's marks.
bool onlyAppleCriticalExtensions(X509* cert) {
    const int count = X509_get_ext_count(cert);
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        if (X509_EXTENSION_get_critical(ext) && !X509_supported_extension(ext) &&
            !isAppleMark(X509_EXTENSION_get_object(ext)))
            return false;
    }
    return true;
}

int verifyCallback(int ok, X509_STORE_CTX* ctx) {
    if (!ok && X509_STORE_CTX_get_error(ctx) == X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION) {
        X509* cert = X509_STORE_CTX_get_current_cert(ctx);
        if (cert && onlyAppleCriticalExtensions(cert))
            return 1;
    }
    return ok;
}

bool sameCertificate(X509* a, X509* b) {
    return X509_cmp(a, b) == 0;
}

std::string nameEntry(X509* cert, int nid) {
    X509_NAME* name = X509_get_subject_name(cert);
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return {};
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0)
        return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

} // namespace

extern const char* const embeddedAnchorsPem;
extern const char* const embeddedPlatformIntermediatesPem;

const TrustAnchors& TrustAnchors::embedded() {
    static const TrustAnchors trust = fromPem(embeddedAnchorsPem, embeddedPlatformIntermediatesPem);
    return trust;
}

TrustAnchors TrustAnchors::fromPem(std::string_view anchorsPem, std::string_view intermediatesPem) {
    return TrustAnchors{readPemCertificates(anchorsPem), readPemCertificates(intermediatesPem)};
}

std::vector<X509Ptr> readPemCertificates(std::string_view pem) {
    std::vector<X509Ptr> certs;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        return certs;
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
        certs.emplace_back(cert);
    ERR_clear_error(); // the end of the text reads as an error
    return certs;
}

std::optional<X509Ptr> readDerCertificate(std::string_view der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!cert)
        return std::nullopt;
    return X509Ptr(cert);
}

ChainVerdict verifyChain(X509* leaf, const std::vector<X509*>& untrusted, const TrustAnchors& trust,
                         std::time_t when) {
    ChainVerdict verdict;
    X509StorePtr store(X509_STORE_new());
    X509StackPtr intermediates(sk_X509_new_null());
    X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!store || !intermediates || !ctx || !leaf) {
        verdict.error = "out of memory";
        return verdict;
    }
    for (const auto& anchor : trust.anchors)
        X509_STORE_add_cert(store.get(), anchor.get());
    for (X509* cert : untrusted) {
        X509_up_ref(cert);
        sk_X509_push(intermediates.get(), cert);
    }
    X509_STORE_set_verify_cb(store.get(), verifyCallback);
    if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf, intermediates.get()) != 1) {
        verdict.error = "cannot set up verification";
        return verdict;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_X509_STRICT);
    if (when != 0)
        X509_VERIFY_PARAM_set_time(param, when);

    const bool ok = X509_verify_cert(ctx.get()) == 1;
    const int error = X509_STORE_CTX_get_error(ctx.get());
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    if (ok && chain) {
        for (int i = 0; i < sk_X509_num(chain); ++i)
            verdict.chain.push_back(upRef(sk_X509_value(chain, i)));
    } else {
        verdict.chain.push_back(upRef(leaf));
        for (X509* cert : untrusted)
            verdict.chain.push_back(upRef(cert));
    }
    verdict.trusted = ok;
    if (!ok) {
        verdict.error = X509_verify_cert_error_string(error);
        verdict.expired = error == X509_V_ERR_CERT_HAS_EXPIRED;
        return verdict;
    }
    // The platform's own: the certificate just above the leaf is a platform intermediate.
    if (verdict.chain.size() >= 3) {
        for (const auto& known : trust.platformIntermediates)
            if (sameCertificate(verdict.chain[1].get(), known.get()))
                verdict.platform = true;
    }
    return verdict;
}

std::string commonName(X509* cert) {
    return nameEntry(cert, NID_commonName);
}
std::string organizationalUnit(X509* cert) {
    return nameEntry(cert, NID_organizationalUnitName);
}

std::string sha256Fingerprint(X509* cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &length) != 1)
        return {};
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, i + 1 < length ? "%02X " : "%02X", digest[i]);
        text += pair;
    }
    return text;
}

std::string notAfterText(X509* cert) {
    struct tm t {};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &t) != 1)
        return {};
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &t);
    return text;
}

bool hasExtension(X509* cert, std::string_view oid) {
    ASN1_OBJECT* object = OBJ_txt2obj(std::string(oid).c_str(), 1);
    if (!object)
        return false;
    const int index = X509_get_ext_by_OBJ(cert, object, -1);
    ASN1_OBJECT_free(object);
    return index >= 0;
}

bool isInstallerLeaf(X509* cert) {
    if (!hasExtension(cert, oidDeveloperIdInstaller))
        return false;
    int critical = 0;
    auto* usages = static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(cert, NID_ext_key_usage, &critical, nullptr));
    if (!usages)
        return false;
    bool listed = false;
    for (int i = 0; i < sk_ASN1_OBJECT_num(usages) && !listed; ++i) {
        char text[128];
        listed = OBJ_obj2txt(text, sizeof text, sk_ASN1_OBJECT_value(usages, i), 1) > 0 &&
                 std::string_view(text) == oidDeveloperIdInstallerUsage;
    }
    EXTENDED_KEY_USAGE_free(usages);
    return listed;
}

} // namespace quorvane::tools
