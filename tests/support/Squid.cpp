#include "Squid.h"

#include <fstream>
#include <stdexcept>

#include <unistd.h>

#include "Process.h"

namespace quorvane::test {

Squid::Squid(const std::vector<std::pair<std::string, std::string>>& accounts, Mode mode)
    : port_(freeLoopbackPort()) {
    // Started as root, squid runs itself and its helper as nobody, who must read the file.
    std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
    const auto passwords = dir_ / "passwd";
    std::string lines;
    for (const auto& [user, password] : accounts) {
        // digest_file_auth reads passwords as they are, basic_ncsa_auth their hashes.
        if (mode == Mode::digest) {
            lines += user + ":" + password + "\n";
            continue;
        }
        std::string hash;
        if (runCommand({"openssl", "passwd", "-apr1", password}, &hash) != 0)
            throw std::runtime_error("openssl passwd: " + hash);
        lines += user + ":" + hash;
    }
    writeFile(passwords, lines);
    std::filesystem::permissions(passwords, std::filesystem::perms(0644));
    const auto config = dir_ / "squid.conf";
    std::ofstream(config) << "http_port 127.0.0.1:" << port_ << "\n"
                          << "pid_filename none\naccess_log none\ncache_log /dev/null\n"
                          << "cache_store_log none\ncache deny all\nnetdb_filename none\n"
                          << "coredump_dir " << dir_.path().string() << "\n"
                          << (::geteuid() == 0 ? "cache_effective_user nobody\n" : "")
                          << "icp_port 0\nhtcp_port 0\npinger_enable off\n"
                          << "shutdown_lifetime 0 seconds\n"
                          << (mode == Mode::digest
                                  ? "auth_param digest program /usr/lib/squid/digest_file_auth " +
                                        passwords.string() + "\nauth_param digest realm test\n"
                                  : "auth_param basic program /usr/lib/squid/basic_ncsa_auth " +
                                        passwords.string() + "\n")
                          << "acl known proxy_auth REQUIRED\n"
                          << (mode == Mode::denyAll ? "" : "http_access allow known\n")
                          << "http_access deny all\n";
    daemon_.emplace(std::vector<std::string>{"squid", "-N", "-f", config.string()});
    if (!waitForListener(port_))
        throw std::runtime_error("squid did not start");
}

std::string Squid::uri(const std::string& user, const std::string& password) const {
    return "http://" + user + ":" + password + "@127.0.0.1:" + std::to_string(port_);
}

} // namespace quorvane::test
