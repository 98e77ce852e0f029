#pragma once

#include <filesystem>
#include <string>

namespace quorvane {

// Where the installer's operations find the outside world. The product uses fromBuild() only;
// tests hand in their own tools and folders through the overloads that take a context.
struct SystemContext {
    std::string pkgutil;  // the package tool (check-signature and expand-full)
    std::string codesign; // the code-signing tool
    // The user's Applications folder; empty means the home folder from the user database.
    std::filesystem::path userApplications;
    // The system-wide Applications folder, consulted only for reuse.
    std::filesystem::path systemApplications = "/Applications";
    // PEM file of the authorities the download trusts; empty means the system's store, found
    // where this system keeps it.
    std::string downloadCAFile;
    // The same authorities as PEM text built into the program; when set, downloadCAFile is not
    // read: a released installer runs where the vendor's file is not.
    std::string downloadCAPem;

    // The values fixed when the installer was built.
    static const SystemContext& fromBuild();
};

// The folder of the running executable; empty when it cannot be known.
std::filesystem::path executableFolder();

} // namespace quorvane
