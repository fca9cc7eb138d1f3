// The HTTPS server context and the self-signed certificate: offered suites (checked with
// the openssl command-line client against a server on loopback), the certificate's dates
// and names, and how its files are written.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "atomic_file.h"
#include "test_support.h"
#include "tls.h"

namespace zephrane::web {
namespace {

namespace fs = std::filesystem;

// Completes TLS handshakes on loopback with the given context, one client at a time.
class HandshakeServer {
  public:
    explicit HandshakeServer(TlsContext context) : context_(std::move(context)) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listenFd_, 4);
        socklen_t length = sizeof address;
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~HandshakeServer() {
        running_ = false;
        thread_.join();
        ::close(listenFd_);
    }
    uint16_t port() const { return port_; }

  private:
    void serve() {
        while (running_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            timeval limit{5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            SSL* ssl = SSL_new(context_.get());
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                SSL_write(ssl, "ok\n", 3);
                SSL_shutdown(ssl);
            }
            SSL_free(ssl);
            ERR_clear_error();
            ::close(fd);
        }
        OPENSSL_thread_stop();
    }

    TlsContext context_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

struct ClientResult {
    bool connected = false;
    std::string output;
};

// One handshake by the openssl client with the given options.
ClientResult connectWith(uint16_t port, const std::string& options) {
    std::string command = "timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                          " -servername localhost " + options + " </dev/null 2>&1";
    ClientResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    int status = ::pclose(pipe);
    result.connected = status == 0 && result.output.find("Cipher is (NONE)") == std::string::npos &&
                       result.output.find("Cipher is ") != std::string::npos;
    return result;
}

TEST(TlsSuites, OnlyForwardSecretAeadSuitesAndTls12OrNewerAreAccepted) {
    TlsContext context = makeServerTlsContext(TlsSettings{}, nullptr);
    ASSERT_TRUE(context);
    HandshakeServer server(context);

    ClientResult modern = connectWith(server.port(), "-tls1_3");
    EXPECT_TRUE(modern.connected) << modern.output;
    EXPECT_NE(modern.output.find("TLSv1.3"), std::string::npos) << modern.output;
    ClientResult gcm = connectWith(server.port(), "-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256");
    EXPECT_TRUE(gcm.connected) << gcm.output;
    EXPECT_NE(gcm.output.find("ECDHE-ECDSA-AES128-GCM-SHA256"), std::string::npos) << gcm.output;

    // The client offers what is refused, at its lowest security level so that it is really
    // the server that says no.
    for (const char* refused : {"-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA:@SECLEVEL=0",     // CBC, SHA-1
                                "-tls1_2 -cipher ECDHE-ECDSA-AES256-SHA384:@SECLEVEL=0",  // CBC
                                "-tls1_2 -cipher AES128-GCM-SHA256:@SECLEVEL=0",          // no ECDHE
                                "-tls1_2 -cipher DHE-RSA-AES128-GCM-SHA256:@SECLEVEL=0",  // no ECDHE
                                "-tls1_1 -cipher DEFAULT:@SECLEVEL=0"}) {
        ClientResult result = connectWith(server.port(), refused);
        EXPECT_FALSE(result.connected) << refused << "\n" << result.output;
    }
}

TEST(TlsSuites, EveryTls12SuiteOfTheContextIsEcdheWithAead) {
    TlsContext context = makeServerTlsContext(TlsSettings{}, nullptr);
    ASSERT_TRUE(context);
    STACK_OF(SSL_CIPHER)* ciphers = SSL_CTX_get_ciphers(context.get());
    ASSERT_GT(sk_SSL_CIPHER_num(ciphers), 0);
    for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
        const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(ciphers, i);
        EXPECT_TRUE(SSL_CIPHER_is_aead(cipher)) << SSL_CIPHER_get_name(cipher);
        int kx = SSL_CIPHER_get_kx_nid(cipher);
        EXPECT_TRUE(kx == NID_kx_ecdhe || kx == NID_kx_any) << SSL_CIPHER_get_name(cipher);
    }
}

X509* parseCertificate(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return certificate;
}

std::string printed(const ASN1_TIME* time) {
    BIO* bio = BIO_new(BIO_s_mem());
    ASN1_TIME_print(bio, time);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(size));
    BIO_free(bio);
    return text;
}

TEST(SelfSignedCertificate, HasFixedDatesAndTheMachinesNames) {
    std::string certificatePem, keyPem;
    ASSERT_TRUE(generateSelfSignedPem(certificatePem, keyPem));
    X509* certificate = parseCertificate(certificatePem);
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(printed(X509_get0_notBefore(certificate)), "Jan  1 00:00:00 2000 GMT");
    EXPECT_EQ(printed(X509_get0_notAfter(certificate)), "Dec 31 23:59:59 9999 GMT");
    // RFC 5280: UTCTime up to 2049, GeneralizedTime after.
    EXPECT_EQ(ASN1_STRING_type(X509_get0_notBefore(certificate)), V_ASN1_UTCTIME);
    EXPECT_EQ(ASN1_STRING_type(X509_get0_notAfter(certificate)), V_ASN1_GENERALIZEDTIME);

    std::vector<std::string> names;
    auto* alternatives =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    ASSERT_NE(alternatives, nullptr);
    for (int i = 0; i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
        if (name->type == GEN_DNS) {
            names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)));
        } else if (name->type == GEN_IPADD && ASN1_STRING_length(name->d.iPAddress) == 4) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, ASN1_STRING_get0_data(name->d.iPAddress), text, sizeof text);
            names.emplace_back(text);
        }
    }
    GENERAL_NAMES_free(alternatives);
    X509_free(certificate);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    for (const std::string& expected :
         {std::string("localhost"), std::string(host), std::string("127.0.0.1")}) {
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    }
}

TEST(SelfSignedCertificate, FilesAreWrittenSafelyWhateverIsPlantedAtTheTemporaryNames) {
    fs::path dir = test::makeTempDir("zephrane-tls-test");
    fs::path elsewhere = test::makeTempDir("zephrane-tls-victim");
    unsigned next = engine::nextTemporarySequence();
    std::vector<fs::path> victims;
    for (const char* name : {kStoredPrivateKeyName, kStoredCertificateName}) {
        for (unsigned i = 0; i < 6; ++i) {
            fs::path victim = elsewhere / (std::string(name) + std::to_string(i));
            std::ofstream(victim) << "untouched";
            fs::permissions(victim, fs::perms(0644));
            fs::create_symlink(victim, dir / engine::temporaryFileName(name, next + i));
            victims.push_back(victim);
        }
    }
    mode_t umask = ::umask(0);
    TlsSettings settings;
    settings.storageDirectory = dir.string();
    test::LogCapture log;
    TlsContext context = makeServerTlsContext(settings, log.logger());
    ::umask(umask);
    ASSERT_TRUE(context) << log.all();
    struct stat info {};
    ASSERT_EQ(::lstat((dir / kStoredPrivateKeyName).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::lstat((dir / kStoredCertificateName).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    for (const fs::path& victim : victims) {
        std::stringstream content;
        content << std::ifstream(victim).rdbuf();
        EXPECT_EQ(content.str(), "untouched") << victim;
        EXPECT_EQ(fs::status(victim).permissions(), fs::perms(0644)) << victim;
    }
    EXPECT_TRUE(log.contains(kWebInfo, "kept in")) << log.all();
    fs::remove_all(dir);
    fs::remove_all(elsewhere);
}

TEST(SelfSignedCertificate, AStoredKeyReadableByOthersIsNarrowed) {
    fs::path dir = test::makeTempDir("zephrane-tls-test");
    std::string certificatePem, keyPem;
    ASSERT_TRUE(generateSelfSignedPem(certificatePem, keyPem));
    std::ofstream(dir / kStoredCertificateName) << certificatePem;
    std::ofstream(dir / kStoredPrivateKeyName) << keyPem;
    fs::permissions(dir / kStoredPrivateKeyName, fs::perms(0644));
    TlsSettings settings;
    settings.storageDirectory = dir.string();
    test::LogCapture log;
    ASSERT_TRUE(makeServerTlsContext(settings, log.logger()));
    EXPECT_EQ(fs::status(dir / kStoredPrivateKeyName).permissions(), fs::perms(0600));
    EXPECT_TRUE(log.contains(kWebWarn, "was readable by others")) << log.all();
    fs::remove_all(dir);
}

}  // namespace
}  // namespace zephrane::web
