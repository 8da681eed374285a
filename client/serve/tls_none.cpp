// TLS in a build without OpenSSL (the Windows cross build): there is none, and it says so.
#include "serve/tls.h"

namespace zelm::serve {

bool TlsBuilt() {
  return false;
}

std::shared_ptr<TlsContext> MakeTlsContext(const std::string&, const std::string&,
                                           std::string* error) {
  *error =
      "this build of zelm has no TLS (there is no OpenSSL for it): run zelm serve --tls-cert on "
      "Linux, or serve plain http behind a TLS proxy";
  return nullptr;
}

}  // namespace zelm::serve
