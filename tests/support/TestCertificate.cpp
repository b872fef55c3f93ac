#include "support/TestCertificate.h"

#include <openssl/ec.h>

#include <stdexcept>

namespace kmtest {

namespace {

constexpr std::chrono::seconds kDay{24 * 60 * 60};

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test certificate: ") + what + " failed");
    }
}

}  // namespace

TestCertificate::TestCertificate(std::chrono::seconds notBefore, std::chrono::seconds notAfter)
    : fKey(EVP_EC_gen("P-256")), fCertificate(X509_new()) {
    Check(fKey != nullptr, "key generation");
    Check(fCertificate != nullptr, "X509_new");
    X509* cert = fCertificate.get();
    Check(X509_set_version(cert, 2) == 1, "X509_set_version");
    Check(ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) == 1, "serial number");
    Check(
        X509_gmtime_adj(X509_getm_notBefore(cert), static_cast<long>(notBefore.count())) != nullptr,
        "notBefore");
    Check(X509_gmtime_adj(X509_getm_notAfter(cert), static_cast<long>(notAfter.count())) != nullptr,
          "notAfter");
    X509_NAME* name = X509_get_subject_name(cert);
    Check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                                     0) == 1,
          "subject");
    Check(X509_set_issuer_name(cert, name) == 1, "issuer");
    Check(X509_set_pubkey(cert, fKey.get()) == 1, "public key");
    Check(X509_sign(cert, fKey.get(), EVP_sha256()) > 0, "signing");
}

TestCertificate TestCertificate::Current() {
    return TestCertificate(-kDay, 365 * kDay);
}

TestCertificate TestCertificate::Expired() {
    return TestCertificate(-30 * kDay, -kDay);
}

}  // namespace kmtest
