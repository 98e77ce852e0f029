#include "CodeSigner.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>

#include "BundleTree.h"
#include "Trust.h"

namespace quorvane::tools {
namespace {

FileDescriptor openSignatureDirectoryForWriting(const CodeRoot& code) {
    FileDescriptor signature = openSignatureDirectory(code);
    if (!signature) {
        if (::mkdirat(code.signatureParent.get(), "_CodeSignature", 0755) != 0 && errno != EEXIST)
            throw std::system_error(errno, std::generic_category(), code.signaturePath);
        signature = openDirectoryAt(code.signatureParent.get(), "_CodeSignature");
    }
    // Leftovers of an interrupted signing are replaced when the files are written.
    for (const auto& name : directoryNames(signature.get()))
        if (name != codeDirectoryName && name != codeSignatureName &&
            name != std::string(".") + codeDirectoryName + ".partial" &&
            name != std::string(".") + codeSignatureName + ".partial")
            throw std::runtime_error("unexpected item in " + code.signaturePath + ": " + name);
    return signature;
}

// Folders that already carry a signature of their own are nested code.
std::optional<CdHash> nestedCode(const std::string& path, int dir) {
    CodeRoot nested = openCodeRoot(openDirectoryAt(dir, "."));
    FileDescriptor signature = openSignatureDirectory(nested);
    if (!signature)
        return std::nullopt;
    std::string bytes;
    try {
        bytes = readSmallFileAt(signature.get(), codeDirectoryName, CodeDirectory::maxBytes);
        CodeDirectory::decode(bytes);
    } catch (const std::exception& e) {
        throw std::runtime_error("nested code " + path + " is not signed properly: " + e.what());
    }
    return cdhashOf(bytes);
}

} // namespace

SigningResult signCode(const std::string& bundlePath, const std::string& identifier,
                       const SigningIdentity& identity) {
    if (identifier.empty() || identifier.size() > CodeDirectory::maxIdentifierBytes ||
        identifier.find('\0') != std::string::npos)
        throw std::runtime_error("the identifier must be 1 to 1024 bytes");
    FileDescriptor root(
        ::openat(AT_FDCWD, bundlePath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root)
        throw std::system_error(errno, std::generic_category(), "cannot open the bundle");
    CodeRoot code = openCodeRoot(std::move(root));
    FileDescriptor signature = openSignatureDirectoryForWriting(code);

    SigningResult result;
    CodeDirectory directory;
    directory.identifier = identifier;
    directory.teamIdentifier = organizationalUnit(identity.leaf.get());
    directory.entries = scanTree(code, nestedCode);
    for (const auto& entry : directory.entries)
        if (entry.kind == CodeEntry::Kind::link &&
            !linkStaysInside(code.root.get(), entry.path, entry.target))
            result.warnings.push_back("link leaves the bundle: " + entry.path + " -> " +
                                      entry.target);

    const std::string bytes = directory.encode();
    const std::string cms = signDetached(bytes, identity);
    writeFileAt(signature.get(), codeDirectoryName, bytes);
    writeFileAt(signature.get(), codeSignatureName, cms);
    result.cdhash = cdhashOf(bytes);
    return result;
}

} // namespace quorvane::tools
