#include "tls.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include "atomic_file.h"

namespace zephrane::web {

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::string opensslError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown error";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::string fingerprintOf(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
        return {};
    }
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) {
            out.push_back(':');
        }
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 15]);
    }
    return out;
}

// TLS 1.2 only with forward secrecy (ECDHE) and authenticated encryption (GCM,
// ChaCha20-Poly1305): no CBC, no SHA-1 MACs, no static RSA key exchange. TLS 1.3 suites
// are all of that kind already.
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

SSL_CTX* newContext() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx != nullptr) {
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
        SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
        if (SSL_CTX_set_cipher_list(ctx, kTls12Suites) != 1) {
            SSL_CTX_free(ctx);
            return nullptr;
        }
    }
    return ctx;
}

TlsContext wrap(SSL_CTX* ctx) {
    return TlsContext(ctx, SSL_CTX_free);
}

// Loads a certificate chain and key from PEM text; on failure says which part failed.
TlsContext contextFromPem(const std::string& certificatePem, const std::string& keyPem,
                          std::string& failure) {
    TlsContext ctx = wrap(newContext());
    BioPtr certBio(BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())));
    BioPtr keyBio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
    X509Ptr cert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
    PkeyPtr key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!ctx || !cert || SSL_CTX_use_certificate(ctx.get(), cert.get()) != 1) {
        failure = "certificate: " + opensslError();
        return nullptr;
    }
    if (!key || SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1) {
        failure = "private key: " + opensslError();
        return nullptr;
    }
    if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0) {
        failure = "certificate: expired";
        return nullptr;
    }
    return ctx;
}

bool readFile(const std::string& path, std::string& out) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    out.clear();
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0 && out.size() < (1u << 20)) {
        out.append(buffer, n);
    }
    bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

// A key written by an earlier version may have taken the mode of a file planted at its
// temporary name; it is narrowed to the owner.
void keepPrivate(const std::string& keyPath, const WebLog& log) {
    struct stat info {};
    if (::lstat(keyPath.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) != 0) {
        bool narrowed = ::chmod(keyPath.c_str(), 0600) == 0;
        webLog(log, kWebWarn,
               "Web server: private key " + keyPath + " was readable by others" +
                   (narrowed ? "; now only by its owner" : ": " + std::string(std::strerror(errno))));
    }
}

// Certificates made while no storage could keep them: reused for the life of the
// process, so a new web server at a cycle-length change shows the browser the same one.
std::mutex generatedMutex;
std::map<std::string, std::pair<std::string, std::string>> generatedInMemory;

TlsContext selfSignedContext(const std::string& directory, bool readOnly, const WebLog& log,
                             std::string& fingerprint) {
    std::lock_guard lock(generatedMutex);
    std::string certPem, keyPem, failure;
    std::string certPath = directory + "/" + kStoredCertificateName;
    std::string keyPath = directory + "/" + kStoredPrivateKeyName;
    if (!directory.empty() && readFile(certPath, certPem) && readFile(keyPath, keyPem)) {
        if (TlsContext ctx = contextFromPem(certPem, keyPem, failure)) {
            fingerprint = certificateFingerprint(certPem);
            if (!readOnly) {
                keepPrivate(keyPath, log);
            }
            return ctx;
        }
        webLog(log, kWebWarn,
               "Web server: replacing the stored certificate " + certPath + " (" + failure + ")");
    }
    auto found = generatedInMemory.find(directory);
    if (found != generatedInMemory.end()) {
        std::tie(certPem, keyPem) = found->second;
    } else {
        if (!generateSelfSignedPem(certPem, keyPem)) {
            webLog(log, kWebError, "Web server: HTTPS off: cannot make a certificate: " + opensslError());
            return nullptr;
        }
        if (directory.empty()) {
            generatedInMemory[directory] = {certPem, keyPem};
            webLog(log, kWebInfo,
                   "Web server: made a self-signed certificate; no storage directory, so browsers will see "
                   "a new one after a restart");
        } else if (!readOnly &&
                   (failure = engine::writeFileAtomically(directory, kStoredPrivateKeyName, keyPem, 0600))
                       .empty() &&
                   (failure = engine::writeFileAtomically(directory, kStoredCertificateName, certPem, 0644))
                       .empty()) {
            webLog(log, kWebInfo, "Web server: made a self-signed certificate, kept in " + certPath);
        } else {
            generatedInMemory[directory] = {certPem, keyPem};
            if (readOnly) {
                failure = "storage is read-only";
            }
            webLog(log, kWebWarn,
                   "Web server: made a self-signed certificate that cannot be kept (" + failure +
                       "); browsers will see a new one after a restart");
        }
    }
    TlsContext ctx = contextFromPem(certPem, keyPem, failure);
    if (!ctx) {
        webLog(log, kWebError, "Web server: self-signed certificate unusable: " + failure);
        return nullptr;
    }
    fingerprint = certificateFingerprint(certPem);
    return ctx;
}

// A host name fit for a DNS entry of a certificate: letters, digits, '-' and '.'.
bool isDnsName(const std::string& name) {
    if (name.empty() || name.size() > 253 || name.front() == '.' || name.front() == '-') {
        return false;
    }
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

// The board's addresses now, as "IP:..." entries; loopback ones included.
std::vector<std::string> interfaceAddresses() {
    std::vector<std::string> entries{"IP:127.0.0.1", "IP:::1"};
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return entries;
    }
    for (ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
        if (item->ifa_addr == nullptr) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        int family = item->ifa_addr->sa_family;
        if (family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(item->ifa_addr)->sin_addr, text, sizeof text);
        } else if (family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(item->ifa_addr)->sin6_addr, text,
                      sizeof text);
        } else {
            continue;
        }
        std::string entry = std::string("IP:") + text;
        if (std::find(entries.begin(), entries.end(), entry) == entries.end()) {
            entries.push_back(entry);
        }
    }
    ::freeifaddrs(list);
    return entries;
}

}  // namespace

std::string subjectAlternativeNames() {
    std::string names = "DNS:localhost";
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && isDnsName(host) && std::string(host) != "localhost") {
        names += std::string(",DNS:") + host;
        if (std::string_view(host).find('.') == std::string_view::npos) {
            names += std::string(",DNS:") + host + ".local";
        }
    }
    for (const std::string& address : interfaceAddresses()) {
        names += "," + address;
    }
    return names;
}

bool generateSelfSignedPem(std::string& certificatePem, std::string& privateKeyPem) {
    PkeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr cert(X509_new());
    if (!key || !cert) {
        return false;
    }
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;  // positive
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(bn);
    ok = ok && X509_set_version(cert.get(), 2) == 1;
    // Fixed dates, so the certificate is the same whatever the board's clock says (a
    // board without a clock battery starts in 1970); the end is the "no expiry" date.
    ok = ok && ASN1_TIME_set_string_X509(X509_getm_notBefore(cert.get()), kCertificateValidFrom) == 1;
    ok = ok && ASN1_TIME_set_string_X509(X509_getm_notAfter(cert.get()), kCertificateValidUntil) == 1;
    X509_NAME* name = X509_get_subject_name(cert.get());
    ok = ok && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>("zephrane"), -1, -1, 0) == 1;
    ok = ok && X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1;
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
    std::string alternativeNames = subjectAlternativeNames();
    const char* extensions[][2] = {{"subjectAltName", alternativeNames.c_str()},
                                   {"basicConstraints", "critical,CA:FALSE"},
                                   {"keyUsage", "critical,digitalSignature"},
                                   {"extendedKeyUsage", "serverAuth"}};
    for (const auto& extension : extensions) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, OBJ_txt2nid(extension[0]), extension[1]);
        ok = ok && ext != nullptr && X509_add_ext(cert.get(), ext, -1) == 1;
        X509_EXTENSION_free(ext);
    }
    ok = ok && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    if (!ok) {
        return false;
    }
    BioPtr certBio(BIO_new(BIO_s_mem()));
    BioPtr keyBio(BIO_new(BIO_s_mem()));
    if (!certBio || !keyBio || PEM_write_bio_X509(certBio.get(), cert.get()) != 1 ||
        PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return false;
    }
    certificatePem = bioText(certBio.get());
    privateKeyPem = bioText(keyBio.get());
    return true;
}

std::string certificateFingerprint(const std::string& certificatePem) {
    BioPtr bio(BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())));
    X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return cert ? fingerprintOf(cert.get()) : std::string();
}

namespace {

// Identifies the files a context was made from; any change to them (a renewed
// certificate) gives another key.
std::string fileIdentity(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) {
        return "-";
    }
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

// OpenSSL loads its configuration and algorithm tables on first use, which costs more
// than a whole server start on a small processor. The first web server is started on
// the host's audio thread, so that work is done when the library is loaded instead.
[[maybe_unused]] const bool openSslWarmedUp = [] {
    SSL_CTX_free(SSL_CTX_new(TLS_server_method()));
    ERR_clear_error();
    return true;
}();

// Contexts made before in this process. A new web server at every cycle-length change
// reuses the one its predecessor made instead of parsing keys again, which keeps its
// start short on a slow processor; an SSL_CTX is safe to share between servers.
std::mutex cacheMutex;
std::map<std::string, std::pair<TlsContext, std::string>> contextCache;

std::string cacheKey(const TlsSettings& settings) {
    std::string key = settings.certificatePath + "\n" + settings.privateKeyPath + "\n" +
                      settings.storageDirectory + "\n" + (settings.storageReadOnly ? "ro" : "rw");
    if (!settings.certificatePath.empty() || !settings.privateKeyPath.empty()) {
        return key + "\n" + fileIdentity(settings.certificatePath) + "\n" +
               fileIdentity(settings.privateKeyPath);
    }
    if (settings.storageDirectory.empty()) {
        return key;
    }
    return key + "\n" + fileIdentity(settings.storageDirectory + "/" + kStoredCertificateName) + "\n" +
           fileIdentity(settings.storageDirectory + "/" + kStoredPrivateKeyName);
}

TlsContext makeContextUncached(const TlsSettings& settings, const WebLog& log, std::string& fingerprint);

}  // namespace

TlsContext makeServerTlsContext(const TlsSettings& settings, const WebLog& log) {
    std::string key = cacheKey(settings);
    {
        std::lock_guard lock(cacheMutex);
        auto found = contextCache.find(key);
        if (found != contextCache.end()) {
            webLog(log, kWebInfo,
                   "Web server: HTTPS certificate SHA-256 fingerprint " + found->second.second);
            return found->second.first;
        }
    }
    std::string fingerprint;
    TlsContext ctx = makeContextUncached(settings, log, fingerprint);
    if (ctx) {
        std::lock_guard lock(cacheMutex);
        if (contextCache.size() >= 8) {
            contextCache.clear();  // old certificates; a handful at most in practice
        }
        // Made now: a certificate just written to storage has a new identity.
        contextCache[cacheKey(settings)] = {ctx, fingerprint};
    }
    return ctx;
}

namespace {

TlsContext makeContextUncached(const TlsSettings& settings, const WebLog& log, std::string& fingerprint) {
    ERR_clear_error();
    TlsContext ctx;
    if (!settings.certificatePath.empty() || !settings.privateKeyPath.empty()) {
        if (settings.certificatePath.empty() || settings.privateKeyPath.empty()) {
            webLog(log, kWebError,
                   std::string("Web server: HTTPS off: ") +
                       (settings.certificatePath.empty() ? "SSL_CERTIFICATE_PATH" : "SSL_PRIVATE_PATH") +
                       " is not set while the other one is");
            return nullptr;
        }
        std::string certPem, keyPem, failure;
        if (!readFile(settings.certificatePath, certPem)) {
            webLog(log, kWebError,
                   "Web server: HTTPS off: cannot read certificate " + settings.certificatePath + ": " +
                       std::strerror(errno));
            return nullptr;
        }
        if (!readFile(settings.privateKeyPath, keyPem)) {
            webLog(log, kWebError,
                   "Web server: HTTPS off: cannot read private key " + settings.privateKeyPath + ": " +
                       std::strerror(errno));
            return nullptr;
        }
        ctx = contextFromPem(certPem, keyPem, failure);
        if (ctx) {
            // The rest of the chain, if the file has one, goes to the browser too.
            ERR_clear_error();
            if (SSL_CTX_use_certificate_chain_file(ctx.get(), settings.certificatePath.c_str()) != 1) {
                ERR_clear_error();
            }
        }
        if (!ctx) {
            bool keyFault = failure.rfind("private key", 0) == 0;
            webLog(log, kWebError,
                   "Web server: HTTPS off: unusable " +
                       (keyFault ? "private key " + settings.privateKeyPath + " for certificate " +
                                       settings.certificatePath
                                 : "certificate " + settings.certificatePath) +
                       " (" + failure + ")");
            return nullptr;
        }
        fingerprint = certificateFingerprint(certPem);
        webLog(log, kWebInfo,
               "Web server: HTTPS certificate " + settings.certificatePath + " SHA-256 fingerprint " +
                   fingerprint);
        return ctx;
    }
    ctx = selfSignedContext(settings.storageDirectory, settings.storageReadOnly, log, fingerprint);
    if (ctx) {
        webLog(log, kWebInfo, "Web server: HTTPS self-signed certificate SHA-256 fingerprint " + fingerprint);
    }
    return ctx;
}

}  // namespace

}  // namespace zephrane::web
