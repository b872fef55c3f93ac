#pragma once

// A self-signed server certificate made at test time.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>

namespace kmtest {

// An EC (P-256) key and a self-signed certificate for "localhost", made with
// OpenSSL when the object is created.
class TestCertificate {
  public:
    // Valid from now + notBefore to now + notAfter (negative: in the past).
    TestCertificate(std::chrono::seconds notBefore, std::chrono::seconds notAfter);
    // Valid since yesterday for a year.
    static TestCertificate Current();
    // Ended yesterday.
    static TestCertificate Expired();

    X509* Certificate() const { return fCertificate.get(); }
    EVP_PKEY* Key() const { return fKey.get(); }

  private:
    struct TX509Deleter {
        void operator()(X509* certificate) const noexcept { X509_free(certificate); }
    };
    struct TKeyDeleter {
        void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
    };
    std::unique_ptr<EVP_PKEY, TKeyDeleter> fKey;
    std::unique_ptr<X509, TX509Deleter> fCertificate;
};

}  // namespace kmtest
