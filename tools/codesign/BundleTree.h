#pragma once

// Reading a bundle's tree: where its signature lives, every file and link below it, and where
// nested code begins. All reads go through directory descriptors without following links.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CodeDirectory.h"
#include "FileHandles.h"

namespace quorvane::tools {

inline constexpr const char* codeDirectoryName = "CodeDirectory";
inline constexpr const char* codeSignatureName = "CodeSignature";

// A bundle folder with the layout that decides where its signature is kept: an app-style
// bundle (with a Contents folder) keeps it in Contents/_CodeSignature, a flat one (a framework's
// version folder) in _CodeSignature.
struct CodeRoot {
    FileDescriptor root;
    FileDescriptor signatureParent; // Contents, or the root itself (a second descriptor)
    std::string signaturePath;      // relative to the root
};

CodeRoot openCodeRoot(FileDescriptor root);
// The signature folder, or an empty descriptor when there is none.
FileDescriptor openSignatureDirectory(const CodeRoot& code);
// The names in a directory, sorted.
std::vector<std::string> directoryNames(int dir);

// Called for every folder below the root with its relative path and descriptor; a cdhash
// makes it nested code (recorded by that hash, not entered), nothing means "walk into it".
using NestedCodeProbe = std::function<std::optional<CdHash>(const std::string& path, int dir)>;

// Called with every folder's, file's and link's path and status before anything of it is read
// (a file's status is that of the descriptor about to be hashed). For a file, the result is
// how many bytes to hash at most; nothing means its contents are not needed (the entry is
// recorded with its size and no digest). Throws to end the scan.
using ItemCheck =
    std::function<std::optional<std::uint64_t>(const std::string& path, const struct stat& info)>;

// Every file, link and nested code below `code`'s root, outside its signature folder, sorted by
// path, files hashed. Devices, FIFOs and sockets throw, as do trees past the size limits.
// Without `check` every file is hashed in full.
std::vector<CodeEntry> scanTree(const CodeRoot& code, const NestedCodeProbe& nested,
                                const ItemCheck& check = {});

// Whether following the link at `linkPath` (relative to `root`) stays inside `root`, resolving
// links on the way as the kernel would.
bool linkStaysInside(int root, const std::string& linkPath, const std::string& target);

} // namespace quorvane::tools
