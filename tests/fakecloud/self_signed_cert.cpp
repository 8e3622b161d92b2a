#include "self_signed_cert.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace fakecloud {

namespace {

void check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("self_signed_cert: ") + what);
}

}  // namespace

self_signed_cert::self_signed_cert()
{
    // EC rather than RSA: key generation stays quick in sanitizer builds.
    m_key = EVP_EC_gen("P-256");
    check(m_key != nullptr, "key generation failed");

    m_cert = X509_new();
    if (m_cert == nullptr) {
        EVP_PKEY_free(m_key);
        throw std::runtime_error("self_signed_cert: X509_new failed");
    }
    try {
        check(X509_set_version(m_cert, 2) == 1, "set version");
        unsigned char serial[8];
        check(RAND_bytes(serial, sizeof serial) == 1, "serial");
        serial[0] &= 0x7f;  // keep it positive
        std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_bin2bn(serial, sizeof serial, nullptr), BN_free);
        check(bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(m_cert)) != nullptr, "serial");
        check(X509_gmtime_adj(X509_getm_notBefore(m_cert), -3600) != nullptr, "not before");
        check(X509_gmtime_adj(X509_getm_notAfter(m_cert), 86400) != nullptr, "not after");
        check(X509_set_pubkey(m_cert, m_key) == 1, "set key");

        X509_NAME* name = X509_get_subject_name(m_cert);
        check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0) == 1,
              "subject");
        check(X509_set_issuer_name(m_cert, name) == 1, "issuer");

        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, m_cert, m_cert, nullptr, nullptr, 0);
        X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name,
                                                  "DNS:localhost,IP:127.0.0.1");
        check(san != nullptr, "subject alt name");
        int added = X509_add_ext(m_cert, san, -1);
        X509_EXTENSION_free(san);
        check(added == 1, "add extension");

        check(X509_sign(m_cert, m_key, EVP_sha256()) > 0, "sign");
    } catch (...) {
        X509_free(m_cert);
        EVP_PKEY_free(m_key);
        throw;
    }
}

self_signed_cert::~self_signed_cert()
{
    X509_free(m_cert);
    EVP_PKEY_free(m_key);
}

bool self_signed_cert::install(SSL_CTX* ctx) const
{
    return SSL_CTX_use_certificate(ctx, m_cert) == 1 && SSL_CTX_use_PrivateKey(ctx, m_key) == 1 &&
           SSL_CTX_check_private_key(ctx) == 1;
}

std::string self_signed_cert::certificate_pem() const
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || PEM_write_bio_X509(bio.get(), m_cert) != 1)
        return std::string();
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(len));
}

}  // namespace fakecloud
