#pragma once

// Owning handles for the OpenSSL objects the tools use.

#include <memory>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace quorvane::tools {

template <class T, void (*Free)(T*)> struct OpenSslDeleter {
    void operator()(T* p) const noexcept { Free(p); }
};

using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, BIO_free_all>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE, X509_STORE_free>>;
using X509StoreCtxPtr =
    std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using CmsPtr =
    std::unique_ptr<CMS_ContentInfo, OpenSslDeleter<CMS_ContentInfo, CMS_ContentInfo_free>>;

inline void freeX509Stack(STACK_OF(X509) * s) {
    sk_X509_pop_free(s, X509_free);
}
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter<STACK_OF(X509), freeX509Stack>>;

inline X509Ptr upRef(X509* cert) {
    X509_up_ref(cert);
    return X509Ptr(cert);
}

} // namespace quorvane::tools
