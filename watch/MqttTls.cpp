#include "watch/MqttTls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace tarvolen {
namespace {

const char* const kKeyPrefix = "Watch.mqtt.tls.";

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Context = std::unique_ptr<SSL_CTX, Freer<SSL_CTX, SSL_CTX_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;

// An encrypted key is refused: nobody is there to type its password.
int refusePassword(char*, int, int, void*) { return 0; }

// OpenSSL's reason for the latest failure, leaving its error queue empty.
std::string openSslReason() {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : "unknown";
}

std::string refused(const char* key, const std::string& what, const std::string& path) {
    return kKeyPrefix + std::string(key) + " " + what + ": " + path + " (" + openSslReason() + ")";
}

// The first PEM object of a file, read by `read`; null when there is none.
template <typename Pointer, typename Reader>
Pointer readPem(const std::string& path, Reader read) {
    const std::unique_ptr<BIO, Freer<BIO, BIO_free_all>> file(BIO_new_file(path.c_str(), "r"));
    return Pointer(file ? read(file.get()) : nullptr);
}

}  // namespace

std::string checkMqttTlsFiles(const MqttTlsSettings& tls) {
    ERR_clear_error();
    if (!tls.caFile.empty()) {
        // As libmosquitto will load it.
        const Context context(SSL_CTX_new(TLS_client_method()));
        if (!context || SSL_CTX_load_verify_locations(context.get(), tls.caFile.c_str(), nullptr) != 1)
            return refused("ca_file", "holds no PEM certificate", tls.caFile);
    }
    if (tls.certFile.empty()) return "";
    const Certificate certificate = readPem<Certificate>(
        tls.certFile, [](BIO* in) { return PEM_read_bio_X509(in, nullptr, nullptr, nullptr); });
    if (!certificate) return refused("cert_file", "holds no PEM certificate", tls.certFile);
    const Key key = readPem<Key>(
        tls.keyFile, [](BIO* in) { return PEM_read_bio_PrivateKey(in, nullptr, &refusePassword, nullptr); });
    if (!key) return refused("key_file", "holds no unencrypted PEM key", tls.keyFile);
    if (X509_check_private_key(certificate.get(), key.get()) != 1)
        return refused("key_file", "is not the key of cert_file", tls.keyFile);
    return "";
}

}  // namespace tarvolen
