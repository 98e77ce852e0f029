#include "FlatPackageWriter.h"
#include "PackageParts.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "Digest.h"
#include "base/FileIo.h"

namespace quorvane::tools {
namespace {

constexpr std::size_t chunk = 1 << 20;

[[noreturn]] void throwOpenSsl(const std::string& what) {
    char reason[256] = "";
    ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
    throw std::runtime_error(what + ": " + reason);
}

std::string zlibCompress(const std::string& data) {
    uLongf length = compressBound(static_cast<uLong>(data.size()));
    std::string out(length, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &length,
                  reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        throw std::runtime_error("compression failed");
    out.resize(length);
    return out;
}

std::string digestOf(std::string_view style, std::string_view data) {
    Digest d(style);
    d.update(data);
    return d.finish();
}

void writeAll(int fd, std::string_view data) {
    quorvane::writeAll(fd, {data.data(), data.size()});
}

// Streams `path` through `sink` in chunks.
template <class Sink> void forEachChunk(const std::filesystem::path& path, Sink&& sink) {
    FileDescriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in)
        throwErrno(path.string());
    std::string buffer(chunk, '\0');
    while (const std::size_t n = readSome(in.get(), buffer))
        sink(std::string_view(buffer.data(), n));
}

std::string base64(std::string_view der) {
    std::string out(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(der.data()),
                                  static_cast<int>(der.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string derOf(X509* cert) {
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    if (n <= 0)
        throwOpenSsl("cannot encode a certificate");
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
    OPENSSL_free(der);
    return out;
}

using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

std::string rsaSign(EVP_PKEY* key, const std::string& checksum) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    std::size_t length = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &length,
                      reinterpret_cast<const unsigned char*>(checksum.data()),
                      checksum.size()) != 1)
        throwOpenSsl("cannot sign");
    std::string signature(length, '\0');
    if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                      reinterpret_cast<const unsigned char*>(checksum.data()),
                      checksum.size()) != 1)
        throwOpenSsl("cannot sign");
    signature.resize(length);
    return signature;
}

std::string cmsSign(const SigningIdentity& signer, const std::string& checksum) {
    X509StackPtr extra(sk_X509_new_null());
    for (std::size_t i = 1; i < signer.chain.size(); ++i) {
        X509_up_ref(signer.chain[i].get());
        sk_X509_push(extra.get(), signer.chain[i].get());
    }
    BioPtr content(BIO_new_mem_buf(checksum.data(), static_cast<int>(checksum.size())));
    CmsPtr cms(CMS_sign(signer.chain.front().get(), signer.key.get(), extra.get(), content.get(),
                        CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
    if (!cms)
        throwOpenSsl("cannot make the CMS signature");
    unsigned char* der = nullptr;
    const int n = i2d_CMS_ContentInfo(cms.get(), &der);
    if (n <= 0)
        throwOpenSsl("cannot encode the CMS signature");
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
    OPENSSL_free(der);
    return out;
}

struct StoredMember {
    const PackageMember* source;
    std::string stored; // heap bytes of an in-memory member
    std::uint64_t length = 0;
    std::uint64_t size = 0;
    std::string archivedHex;
    std::string extractedHex;
    bool compressed = false;
};

std::string keyInfo(const SigningIdentity& signer) {
    std::string xml = "   <KeyInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\">\n"
                      "    <X509Data>\n";
    for (const auto& cert : signer.chain)
        xml += "     <X509Certificate>" + base64(derOf(cert.get())) + "</X509Certificate>\n";
    return xml + "    </X509Data>\n   </KeyInfo>\n";
}

std::string tocXml(const std::vector<StoredMember>& members, const SigningIdentity* signer,
                   std::uint64_t rsaSize, std::uint64_t cmsSize, std::uint64_t heapOffset) {
    char created[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%S", std::gmtime(&now));
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar>\n <toc>\n";
    xml += "  <creation-time>" + std::string(created) + "</creation-time>\n";
    xml += "  <checksum style=\"sha1\">\n   <offset>0</offset>\n   <size>20</size>\n"
           "  </checksum>\n";
    if (signer) {
        xml += "  <signature style=\"RSA\">\n   <offset>20</offset>\n   <size>" +
               std::to_string(rsaSize) + "</size>\n" + keyInfo(*signer) + "  </signature>\n";
        xml += "  <x-signature style=\"CMS\">\n   <offset>" + std::to_string(20 + rsaSize) +
               "</offset>\n   <size>" + std::to_string(cmsSize) + "</size>\n" + keyInfo(*signer) +
               "  </x-signature>\n";
    }
    std::uint64_t offset = heapOffset;
    int id = 1;
    for (const auto& m : members) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", m.source->mode & 07777);
        xml += "  <file id=\"" + std::to_string(id++) + "\">\n   <data>\n";
        xml += "    <length>" + std::to_string(m.length) + "</length>\n";
        xml += "    <offset>" + std::to_string(offset) + "</offset>\n";
        xml += "    <size>" + std::to_string(m.size) + "</size>\n";
        xml += std::string("    <encoding style=\"") +
               (m.compressed ? "application/x-gzip" : "application/octet-stream") + "\"/>\n";
        xml += "    <extracted-checksum style=\"sha256\">" + m.extractedHex +
               "</extracted-checksum>\n";
        xml +=
            "    <archived-checksum style=\"sha256\">" + m.archivedHex + "</archived-checksum>\n";
        xml += "   </data>\n   <mode>" + std::string(mode) + "</mode>\n   <type>file</type>\n";
        xml += "   <name>" + xmlEscape(m.source->name) + "</name>\n  </file>\n";
        offset += m.length;
    }
    return xml + " </toc>\n</xar>\n";
}

std::string header(std::uint64_t compressed, std::uint64_t uncompressed) {
    std::string h(28, '\0');
    auto put = [&](std::size_t at, std::uint64_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i)
            h[at + i] = static_cast<char>((value >> (8 * (width - 1 - i))) & 0xFF);
    };
    put(0, 0x78617221, 4); // "xar!"
    put(4, 28, 2);
    put(6, 1, 2);
    put(8, compressed, 8);
    put(16, uncompressed, 8);
    put(24, 1, 4); // SHA-1 table checksum
    return h;
}

// Removes the temporary file unless the package made it into place.
struct TemporaryFile {
    std::filesystem::path path;
    bool keep = false;
    ~TemporaryFile() {
        if (!keep && !path.empty())
            ::unlink(path.c_str());
    }
};

} // namespace

void writeFlatPackage(const std::filesystem::path& out, const std::vector<PackageMember>& members,
                      const SigningIdentity* signer) {
    std::vector<StoredMember> stored;
    for (const auto& m : members) {
        StoredMember s{&m, {}, 0, 0, {}, {}, false};
        if (m.file) {
            Digest sum("sha256");
            forEachChunk(*m.file, [&](std::string_view bytes) {
                sum.update(bytes);
                s.length += bytes.size();
            });
            s.size = s.length;
            s.archivedHex = s.extractedHex = Digest::hex(sum.finish());
        } else {
            s.compressed = true;
            s.stored = zlibCompress(m.contents);
            s.length = s.stored.size();
            s.size = m.contents.size();
            s.archivedHex = Digest::hex(digestOf("sha256", s.stored));
            s.extractedHex = Digest::hex(digestOf("sha256", m.contents));
        }
        stored.push_back(std::move(s));
    }

    std::uint64_t rsaSize = 0;
    std::uint64_t cmsSize = 0;
    if (signer) {
        if (signer->chain.empty() ||
            X509_check_private_key(signer->chain.front().get(), signer->key.get()) != 1)
            throw std::runtime_error("the key does not belong to the first certificate");
        if (EVP_PKEY_get_base_id(signer->key.get()) != EVP_PKEY_RSA)
            throw std::runtime_error("the signing key must be an RSA key");
        rsaSize = static_cast<std::uint64_t>(EVP_PKEY_get_size(signer->key.get()));
        // Room for the CMS structure: a trial signature's size with some slack.
        cmsSize = cmsSign(*signer, std::string(20, '\0')).size() + 512;
    }
    const std::string toc = tocXml(stored, signer, rsaSize, cmsSize, 20 + rsaSize + cmsSize);
    const std::string compressedToc = zlibCompress(toc);
    const std::string checksum = digestOf("sha1", compressedToc);

    std::string heapStart = checksum;
    if (signer) {
        const std::string rsa = rsaSign(signer->key.get(), checksum);
        std::string cms = cmsSign(*signer, checksum);
        if (rsa.size() != rsaSize || cms.size() > cmsSize)
            throw std::runtime_error("signature larger than the space reserved for it");
        cms.resize(static_cast<std::size_t>(cmsSize), '\0');
        heapStart += rsa + cms;
    }

    TemporaryFile temp{out.string() + ".partial-XXXXXX"};
    std::string pattern = temp.path.string();
    FileDescriptor fd(::mkstemp(pattern.data()));
    if (!fd)
        throwErrno(out.string());
    temp.path = pattern;
    writeAll(fd.get(), header(compressedToc.size(), toc.size()));
    writeAll(fd.get(), compressedToc);
    writeAll(fd.get(), heapStart);
    for (const auto& s : stored) {
        if (s.source->file)
            forEachChunk(*s.source->file,
                         [&](std::string_view bytes) { writeAll(fd.get(), bytes); });
        else
            writeAll(fd.get(), s.stored);
    }
    if (::fchmod(fd.get(), 0644) != 0 || ::fsync(fd.get()) != 0)
        throwErrno(out.string());
    if (::rename(temp.path.c_str(), out.c_str()) != 0)
        throwErrno(out.string());
    temp.keep = true;
}

} // namespace quorvane::tools
