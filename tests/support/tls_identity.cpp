// Every socket of a TLS connection is non-blocking: a wait for the peer is a
// poll that also watches the stop pipe, so Stop ends a stalled handshake too.
#include "support/tls_identity.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

constexpr long validity_seconds = 24 * 3600;
constexpr long backdate_seconds = 3600;  // Tolerates a client clock slightly behind.

std::runtime_error TlsError(const std::string &what)
{
    unsigned long code = ERR_get_error();
    char reason[256] = "no reason given";
    if (code != 0)
        ERR_error_string_n(code, reason, sizeof(reason));
    ERR_clear_error();
    return std::runtime_error("TlsIdentity: " + what + ": " + reason);
}

template <class T> T *Check(T *made, const char *what)
{
    if (made == nullptr)
        throw TlsError(what);
    return made;
}

void Check(int result, const char *what)
{
    if (result <= 0)
        throw TlsError(what);
}

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertificatePtr = std::unique_ptr<X509, decltype(&X509_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

void AddExtension(X509 *certificate, int nid, const std::string &value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = Check(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()), "extension");
    int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    Check(added, "X509_add_ext");
}

std::string AlternativeNames(const std::vector<std::string> &extra_names)
{
    std::string names = "DNS:localhost,IP:127.0.0.1";
    for (const std::string &name : extra_names) {
        if (name.find_first_of(",:\n") != std::string::npos)
            throw std::runtime_error("TlsIdentity: unusable certificate name \"" + name + "\"");
        names += ",DNS:" + name;
    }
    return names;
}

// Self-signed and marked as an authority, as `openssl req -x509` makes it, so
// that a client trusting this very certificate accepts the chain it ends.
CertificatePtr SelfSigned(EVP_PKEY *key, const std::vector<std::string> &extra_names)
{
    CertificatePtr certificate(Check(X509_new(), "X509_new"), X509_free);
    X509 *cert = certificate.get();
    Check(X509_set_version(cert, 2), "X509_set_version");
    Check(ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(time(nullptr))), "serial number");
    Check(X509_gmtime_adj(X509_getm_notBefore(cert), -backdate_seconds) != nullptr, "notBefore");
    Check(X509_gmtime_adj(X509_getm_notAfter(cert), validity_seconds) != nullptr, "notAfter");
    Check(X509_set_pubkey(cert, key), "X509_set_pubkey");
    X509_NAME *name = X509_get_subject_name(cert);
    Check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("localhost"), -1,
                                     -1, 0),
          "subject name");
    Check(X509_set_issuer_name(cert, name), "issuer name");
    AddExtension(cert, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, NID_subject_key_identifier, "hash");
    AddExtension(cert, NID_subject_alt_name, AlternativeNames(extra_names));
    Check(X509_sign(cert, key, EVP_sha256()) > 0, "X509_sign");
    return certificate;
}

std::string ReadBio(BIO *bio)
{
    char *data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string CertificateText(X509 *certificate)
{
    BioPtr bio(Check(BIO_new(BIO_s_mem()), "BIO_new"), BIO_free);
    Check(PEM_write_bio_X509(bio.get(), certificate), "PEM_write_bio_X509");
    return ReadBio(bio.get());
}

std::string KeyText(EVP_PKEY *key)
{
    BioPtr bio(Check(BIO_new(BIO_s_mem()), "BIO_new"), BIO_free);
    Check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr), "PEM_write_bio_PrivateKey");
    return ReadBio(bio.get());
}

// Picks HTTP/1.1 when the client offers it; without a match the handshake
// goes on without ALPN and the client falls back to HTTP/1.1 itself.
int SelectHttp11(SSL *, const unsigned char **out, unsigned char *out_length, const unsigned char *offered,
                 unsigned int offered_length, void *)
{
    static const unsigned char http11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char *selected = nullptr;
    if (SSL_select_next_proto(&selected, out_length, http11, sizeof(http11), offered, offered_length) !=
        OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

class TlsStream final : public ServerStream
{
public:
    TlsStream(SSL *ssl, int fd, int stop_fd) : ssl(ssl), fd(fd), stop_fd(stop_fd) {}
    ~TlsStream() override { Close(); }

    bool Open() override
    {
        for (;;) {
            int result = SSL_accept(ssl);
            if (result == 1)
                return true;
            if (!WaitForPeer(result))
                return false;
        }
    }

    bool Receive(std::string &buffer) override
    {
        char chunk[16 * 1024];
        for (;;) {
            int count = SSL_read(ssl, chunk, sizeof(chunk));
            if (count > 0) {
                buffer.append(chunk, static_cast<size_t>(count));
                return true;
            }
            if (!WaitForPeer(count))
                return false;
        }
    }

    bool SendAll(std::string_view data) override
    {
        while (!data.empty()) {
            int count = SSL_write(ssl, data.data(), static_cast<int>(std::min<size_t>(data.size(), 1 << 20)));
            if (count > 0)
                data.remove_prefix(static_cast<size_t>(count));
            else if (!WaitForPeer(count))
                return false;
        }
        return true;
    }

    void Close() override
    {
        if (ssl == nullptr)
            return;
        if (!failed)
            SSL_shutdown(ssl);  // Sends close_notify once; the peer's reply is not awaited.
        SSL_free(ssl);
        ssl = nullptr;
        shutdown(fd, SHUT_RDWR);
        close(fd);
        ERR_clear_error();
    }

private:
    // After a call that did not complete: waits until the socket can go on;
    // false when the connection failed or the server stopped.
    bool WaitForPeer(int result)
    {
        int error = SSL_get_error(ssl, result);
        short events = error == SSL_ERROR_WANT_READ ? POLLIN : error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (events == 0) {
            failed = true;  // A fatal error forbids close_notify.
            ERR_clear_error();
            return false;
        }
        return WaitReady(fd, events, stop_fd, -1) == Readiness::ready;
    }

    SSL *ssl;
    int fd;
    int stop_fd;
    bool failed = false;
};

}  // namespace

TlsIdentity::TlsIdentity(const std::vector<std::string> &extra_names)
{
    KeyPtr key(Check(EVP_EC_gen("P-256"), "EVP_EC_gen"), EVP_PKEY_free);
    CertificatePtr certificate = SelfSigned(key.get(), extra_names);
    certificate_pem = CertificateText(certificate.get());
    private_key_pem = KeyText(key.get());

    context = Check(SSL_CTX_new(TLS_server_method()), "SSL_CTX_new");
    try {
        Check(SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION), "SSL_CTX_set_min_proto_version");
        Check(SSL_CTX_use_certificate(context, certificate.get()), "SSL_CTX_use_certificate");
        Check(SSL_CTX_use_PrivateKey(context, key.get()), "SSL_CTX_use_PrivateKey");
        SSL_CTX_set_alpn_select_cb(context, SelectHttp11, nullptr);
        // Non-blocking writes may be retried with a moved buffer.
        SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    } catch (...) {
        SSL_CTX_free(context);
        throw;
    }
}

TlsIdentity::~TlsIdentity()
{
    SSL_CTX_free(context);
}

std::unique_ptr<ServerStream> TlsIdentity::Accept(int fd, int stop_fd) const
{
    SSL *ssl = nullptr;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || (ssl = SSL_new(context)) == nullptr ||
        SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        close(fd);
        throw TlsError("cannot set up a connection");
    }
    return std::make_unique<TlsStream>(ssl, fd, stop_fd);
}
