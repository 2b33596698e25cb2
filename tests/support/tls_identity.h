// TLS for loopback test servers: a P-256 key and a self-signed certificate
// made in memory, and the server side of a connection that uses them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/server_stream.h"

struct ssl_ctx_st;

class TlsIdentity
{
public:
    // A fresh key and a certificate valid from an hour ago for a day, for
    // "localhost", 127.0.0.1 and the extra host names; clients trust it by
    // trusting CertificatePem itself. Throws std::runtime_error with
    // OpenSSL's reason when a step fails.
    explicit TlsIdentity(const std::vector<std::string> &extra_names = {});
    ~TlsIdentity();

    TlsIdentity(const TlsIdentity &) = delete;
    TlsIdentity &operator=(const TlsIdentity &) = delete;

    const std::string &CertificatePem() const { return certificate_pem; }
    const std::string &PrivateKeyPem() const { return private_key_pem; }

    // The server side of a TLS connection on an accepted socket, which it
    // then owns; Open performs the handshake. Offers HTTP/1.1 by ALPN.
    std::unique_ptr<ServerStream> Accept(int fd, int stop_fd) const;

private:
    ssl_ctx_st *context = nullptr;
    std::string certificate_pem;
    std::string private_key_pem;
};
