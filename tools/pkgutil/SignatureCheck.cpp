#include "SignatureCheck.h"

#include "XarArchive.h"
#include "contract/ExitStatus.h"
#include "contract/SignatureStatus.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

namespace quorvane::tools {
namespace {

constexpr std::uint64_t maxSignatureSize = 64 * 1024;

class Invalid : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

const EVP_MD* digestFor(const std::string& style) {
    if (style == "sha1")
        return EVP_sha1();
    if (style == "sha256")
        return EVP_sha256();
    if (style == "sha512")
        return EVP_sha512();
    return nullptr;
}

using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

// PKCS#1 v1.5 over DigestInfo(checksum), as xar signs.
bool rsaSignatureValid(X509* leaf, const std::string& checksum, const EVP_MD* md,
                       const std::string& signature) {
    EVP_PKEY* key = X509_get0_pubkey(leaf);
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        return false;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1 &&
           EVP_PKEY_verify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                           signature.size(),
                           reinterpret_cast<const unsigned char*>(checksum.data()),
                           checksum.size()) == 1;
}

// A detached CMS signature over the same checksum, by the same signer.
bool cmsSignatureValid(X509* leaf, const std::vector<X509*>& certs, const std::string& checksum,
                       const std::string& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (!cms)
        return false;
    // What follows the DER structure is the reserved space: zeros only.
    for (auto rest =
             static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(der.data()));
         rest < der.size(); ++rest)
        if (der[rest] != '\0')
            return false;
    X509StackPtr extra(sk_X509_new_null());
    if (!extra)
        return false;
    for (X509* cert : certs) {
        X509_up_ref(cert);
        sk_X509_push(extra.get(), cert);
    }
    BioPtr content(BIO_new_mem_buf(checksum.data(), static_cast<int>(checksum.size())));
    // The chain is judged once, by verifyChain; here only the signature itself.
    if (!content || CMS_verify(cms.get(), extra.get(), nullptr, content.get(), nullptr,
                               CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1)
        return false;
    STACK_OF(X509)* signers = CMS_get0_signers(cms.get());
    const bool same =
        signers && sk_X509_num(signers) == 1 && X509_cmp(sk_X509_value(signers, 0), leaf) == 0;
    sk_X509_free(signers);
    return same;
}

void requireMemberChecksums(const XarArchive& archive, const std::vector<XarFile>& files) {
    for (const auto& f : files) {
        if (f.data) {
            if (!f.data->archived)
                throw Invalid("a member without a checksum");
            const XarDigest& expected = *f.data->archived;
            const std::uint64_t heapSize = archive.fileSize() - archive.heapStart();
            if (f.data->offset > heapSize || f.data->length > heapSize - f.data->offset)
                throw Invalid("member data beyond the end of the package");
            Digest digest(expected.style);
            std::string buffer(chunkSize, '\0');
            for (std::uint64_t done = 0; done < f.data->length;) {
                const auto n = static_cast<std::size_t>(
                    std::min<std::uint64_t>(chunkSize, f.data->length - done));
                archive.readHeapChunk(f.data->offset + done, buffer.data(), n);
                digest.update(std::string_view(buffer.data(), n));
                done += n;
            }
            if (Digest::hex(digest.finish()) != expected.hex)
                throw Invalid("checksum did not verify");
        }
        requireMemberChecksums(archive, f.children);
    }
}

void appendChain(std::string& out, const std::vector<X509Ptr>& chain) {
    out += "   Certificate Chain:\n";
    for (std::size_t i = 0; i < chain.size(); ++i) {
        X509* cert = chain[i].get();
        if (i > 0)
            out += "       " + std::string(72, '-') + "\n";
        out += "    " + std::to_string(i + 1) + ". " + commonName(cert) + "\n";
        out += "       Expires: " + notAfterText(cert) + "\n";
        out += "       SHA256 Fingerprint:\n";
        const std::string fingerprint = sha256Fingerprint(cert);
        // Sixteen pairs to a line ("AB " is three characters).
        for (std::size_t at = 0; at < fingerprint.size(); at += 48) {
            std::string line = fingerprint.substr(at, 47);
            out += "           " + line + "\n";
        }
    }
    out += "\n";
}

} // namespace

SignatureReport checkSignature(const std::filesystem::path& package, const TrustAnchors& trust,
                               std::time_t when) {
    SignatureReport report;
    report.text = "Package \"" + package.filename().string() + "\":\n";
    const auto status = [&](std::string_view line) {
        report.text += "   " + std::string(contract::statusLabel) + std::string(line) + "\n";
    };
    try {
        const XarArchive archive(package);
        const XarToc& toc = archive.toc();
        if (!toc.signature && !toc.xSignature) {
            status(contract::notSigned);
            return report;
        }
        if (!toc.signature || toc.signature->style != "RSA")
            throw Invalid("no RSA signature");
        if (toc.xSignature && toc.xSignature->style != "CMS")
            throw Invalid("unsupported signature style");
        if (!toc.checksum)
            throw Invalid("no table checksum");
        if (!archive.tocChecksumMatches())
            throw Invalid("checksum did not verify");
        const std::string checksum = archive.readHeap(toc.checksumOffset, toc.checksumSize);

        std::vector<X509Ptr> certs;
        for (const auto& der : toc.signature->certificates) {
            auto cert = readDerCertificate(der);
            if (!cert)
                throw Invalid("unreadable certificate");
            certs.push_back(std::move(*cert));
        }
        if (certs.empty())
            throw Invalid("no signing certificate");
        X509* leaf = certs.front().get();
        std::vector<X509*> others;
        for (std::size_t i = 1; i < certs.size(); ++i)
            others.push_back(certs[i].get());

        if (toc.signature->size == 0 || toc.signature->size > maxSignatureSize ||
            !rsaSignatureValid(leaf, checksum, digestFor(toc.checksum->style),
                               archive.readHeap(toc.signature->offset, toc.signature->size)))
            throw Invalid("signature did not verify");
        if (toc.xSignature) {
            std::vector<X509*> all{leaf};
            all.insert(all.end(), others.begin(), others.end());
            if (toc.xSignature->size == 0 || toc.xSignature->size > maxSignatureSize ||
                !cmsSignatureValid(leaf, all, checksum,
                                   archive.readHeap(toc.xSignature->offset, toc.xSignature->size)))
                throw Invalid("signature did not verify");
        }
        // The signature covers the table; the table's checksums cover the members.
        requireMemberChecksums(archive, toc.files);

        const ChainVerdict verdict = verifyChain(leaf, others, trust, when);
        // A certificate made for another role (a web server's, an application signer's) does
        // not sign packages, whatever anchor it chains to.
        const bool installerRole = isInstallerLeaf(leaf);
        if (verdict.trusted && verdict.platform && installerRole) {
            status(contract::signedForDistribution);
            report.exitCode = contract::PkgutilStatus::success;
        } else if (verdict.trusted && installerRole) {
            status(contract::signedTrusted);
            report.exitCode = contract::PkgutilStatus::success;
        } else if (verdict.expired && installerRole) {
            status(contract::signedExpired);
        } else {
            status(contract::signedUntrusted);
        }
        appendChain(report.text, verdict.chain);
    } catch (const Invalid& e) {
        status("package is invalid (" + std::string(e.what()) + ")");
    } catch (const XarError& e) {
        status("package is invalid (" + std::string(e.what()) + ")");
    }
    ERR_clear_error();
    return report;
}

} // namespace quorvane::tools
