// The demo's download server: serves the package tail over HTTPS on loopback at a paced rate,
// prints its port, then one line per event, and stops on SIGTERM or SIGINT.
#include "PacedFileServer.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>

#include <pthread.h>

namespace {

constexpr std::string_view usage =
    "usage: quorvane-demo-server --cert PEM --key PEM --file FILE --path /URL-PATH\n"
    "                            [--rate BYTES-PER-SECOND]\n"
    "\n"
    "Serves FILE at https://127.0.0.1:PORT/URL-PATH (every other path: 404), at most RATE\n"
    "bytes per second per response. Prints \"port N\" first, then one line per event:\n"
    "  request PATH STATUS [LENGTH]   a GET arrived\n"
    "  sent BYTES                     each further mebibyte of a response\n"
    "  done BYTES | aborted BYTES     a response ended, whole or cut short\n"
    "  stopped BYTES                  on SIGTERM or SIGINT: body bytes served in all\n";

std::mutex outputMutex;

void say(const std::string& line) {
    const std::lock_guard lock(outputMutex);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    quorvane::demo::PacedFileServer::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (flag == "--help") {
            std::fputs(usage.data(), stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fputs(usage.data(), stderr);
            return 2;
        }
        const std::string value = argv[++i];
        if (flag == "--cert")
            options.certificate = value;
        else if (flag == "--key")
            options.key = value;
        else if (flag == "--file")
            options.file = value;
        else if (flag == "--path")
            options.path = value;
        else if (flag == "--rate" && !value.empty() &&
                 value.find_first_not_of("0123456789") == std::string::npos && value.size() < 19)
            options.bytesPerSecond = std::stoull(value);
        else {
            std::fputs(usage.data(), stderr);
            return 2;
        }
    }
    if (options.certificate.empty() || options.key.empty() || options.file.empty() ||
        options.path.empty() || options.path.front() != '/') {
        std::fputs(usage.data(), stderr);
        return 2;
    }

    // Blocked before any thread starts, so that only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away mid-body must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    try {
        quorvane::demo::PacedFileServer server(options, say);
        say("port " + std::to_string(server.port()));
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
        say("stopped " + std::to_string(server.bytesServed()));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quorvane-demo-server: %s\n", error.what());
        return 1;
    }
    return 0;
}
