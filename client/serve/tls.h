// TLS for the browser side (https and wss): the server's certificate and private key, loaded and
// checked once at start. A build without OpenSSL (the Windows cross build) has no TLS: TlsBuilt
// says so and MakeTlsContext refuses. This choice is made by which of tls.cpp and tls_none.cpp the
// build compiles (serve/CMakeLists.txt), which also defines VELKARO_TLS where there is TLS.
#pragma once

#include <memory>
#include <string>

namespace zelm::serve {

struct TlsContext;

// Whether this build serves TLS at all.
bool TlsBuilt();

// The server side of TLS with the certificate chain in `cert_file` and its private key in
// `key_file` (both PEM, the key without a passphrase), or null with the reason in `error`: a file
// that cannot be read, that holds no certificate or no key, a key protected by a passphrase, a key
// that is not the certificate's. Only TLS 1.2 and newer, without compression or renegotiation.
std::shared_ptr<TlsContext> MakeTlsContext(const std::string& cert_file,
                                           const std::string& key_file, std::string* error);

}  // namespace zelm::serve

#if defined(VELKARO_TLS)
#include <boost/asio/ssl/context.hpp>

namespace zelm::serve {

struct TlsContext {
  boost::asio::ssl::context ssl{boost::asio::ssl::context::tls_server};
};

}  // namespace zelm::serve
#endif
