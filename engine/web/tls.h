#pragma once

#include <memory>
#include <string>

#include "web_log.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace zephrane::web {

// File names of the self-signed certificate kept in the storage directory.
inline constexpr const char* kStoredCertificateName = "web-certificate.pem";
inline constexpr const char* kStoredPrivateKeyName = "web-private-key.pem";

using TlsContext = std::shared_ptr<SSL_CTX>;

struct TlsSettings {
    std::string certificatePath;  // both set: use these files
    std::string privateKeyPath;
    std::string storageDirectory;  // else a self-signed certificate kept here (empty: in memory)
    bool storageReadOnly = false;  // use a certificate kept there, never write one
};

// The HTTPS server context, or null after an ERROR line naming the file at fault. Logs
// the certificate's SHA-256 fingerprint at INFO.
TlsContext makeServerTlsContext(const TlsSettings& settings, const WebLog& log);

// Validity of a self-signed certificate (RFC 5280 time strings; the end means "no expiry").
inline constexpr const char* kCertificateValidFrom = "20000101000000Z";
inline constexpr const char* kCertificateValidUntil = "99991231235959Z";

// A new ECDSA P-256 key and a certificate for it signed by itself, both PEM. Its names
// are those of subjectAlternativeNames().
bool generateSelfSignedPem(std::string& certificatePem, std::string& privateKeyPem);

// "DNS:localhost,DNS:<host name>,DNS:<host name>.local,IP:..." with the machine's
// addresses at the time of the call.
std::string subjectAlternativeNames();

// "AB:01:..." over the DER form of the first certificate in the PEM text; empty on error.
std::string certificateFingerprint(const std::string& certificatePem);

}  // namespace zephrane::web
