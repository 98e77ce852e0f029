#include "download/TransferFailure.h"

#include "manifest/BootstrapFailure.h"

namespace quorvane {

bool connectionEnded(CURLcode code) {
    switch (code) {
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

BootstrapFailure transferFailure(std::exception_ptr problem, bool cancelled) {
    return BootstrapFailure::classify(problem, cancelled ? BootstrapFailure::cancelled
                                                         : BootstrapFailure::download);
}

} // namespace quorvane
