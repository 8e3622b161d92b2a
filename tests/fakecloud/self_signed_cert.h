// A throw-away certificate for the fake cloud: EC P-256 key, CN=localhost, SAN localhost and
// 127.0.0.1, valid from an hour ago for one day. Made in memory at start, so no key lies on disk.
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace fakecloud {

class self_signed_cert {
public:
    self_signed_cert();  // throws std::runtime_error when OpenSSL fails
    ~self_signed_cert();
    self_signed_cert(const self_signed_cert&) = delete;
    self_signed_cert& operator=(const self_signed_cert&) = delete;

    // Installs the certificate and key into a server context; false on failure.
    bool install(SSL_CTX* ctx) const;
    std::string certificate_pem() const;

private:
    EVP_PKEY* m_key = nullptr;
    X509* m_cert = nullptr;
};

}  // namespace fakecloud
