#include "auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "atomic_file.h"
#include "host_check.h"
#include "log_text.h"

namespace zephrane::web {

namespace {

std::string sha256(std::string_view data) {
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

const char* environment(const char* first, const char* second) {
    const char* value = std::getenv(first);
    if (value == nullptr || *value == '\0') {
        value = std::getenv(second);
    }
    return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string randomSecret() {
    // Letters and digits only, so it can be copied from a log line and typed.
    static const char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
    constexpr unsigned alphabetSize = sizeof alphabet - 1;
    std::string secret;
    while (secret.size() < 20) {
        unsigned char bytes[32];
        if (RAND_bytes(bytes, sizeof bytes) != 1) {
            std::abort();  // no randomness: a guessable secret is worse than no server
        }
        for (unsigned char b : bytes) {
            if (b < 256 - 256 % alphabetSize && secret.size() < 20) {
                secret.push_back(alphabet[b % alphabetSize]);
            }
        }
    }
    return secret;
}

}  // namespace

namespace {

// A secret kept from an earlier run: one line of printable text.
std::optional<std::string> storedSecret(const std::string& path) {
    std::string content, error;
    bool missing = false;
    if (!engine::readWholeFile(path, content, error, missing)) {
        return std::nullopt;
    }
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
        content.pop_back();
    }
    bool printable =
        std::all_of(content.begin(), content.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; });
    if (content.empty() || content.size() > 256 || !printable) {
        return std::nullopt;
    }
    return content;
}

// A generated secret for the storage directory: read from its file, else made and kept
// there. The log names the file, never the secret, unless it cannot be kept.
std::string generatedSecret(const std::string& user, const std::string& directory, bool readOnly,
                            const WebLog& log) {
    static std::mutex mutex;
    static std::map<std::string, std::string> madeInProcess;  // by directory
    std::lock_guard lock(mutex);
    std::string path = directory.empty() ? std::string() : engine::joinPath(directory, kLoginSecretFileName);
    if (!path.empty()) {
        if (std::optional<std::string> stored = storedSecret(path)) {
            if (madeInProcess[directory] != *stored) {
                madeInProcess[directory] = *stored;
                webLog(log, kWebInfo,
                       "Web server: no SETUP_SECRET or ADMIN_SECRET, login secret for " +
                           engine::logText(user) + " read from " + engine::logText(path));
            }
            return *stored;
        }
    }
    auto known = madeInProcess.find(directory);
    if (known != madeInProcess.end() && !known->second.empty()) {
        return known->second;  // made earlier and not kept: its log line is out already
    }
    std::string secret = randomSecret();
    std::string problem = directory.empty() ? "no storage directory" : readOnly ? "storage is read-only" : "";
    if (problem.empty()) {
        problem = engine::makeDirectories(directory);
    }
    if (problem.empty()) {
        problem = engine::writeFileAtomically(directory, kLoginSecretFileName, secret + "\n", 0600);
    }
    madeInProcess[directory] = secret;
    if (problem.empty()) {
        webLog(log, kWebWarn,
               "Web server: no SETUP_SECRET or ADMIN_SECRET, generated a login secret for " +
                   engine::logText(user) + ", kept in " + engine::logText(path));
        return secret;
    }
    // Nowhere to keep it: the log is the only way for the operator to learn it.
    bool unexpected = !directory.empty() && !readOnly;
    webLog(log, kWebWarn,
           "Web server: no SETUP_SECRET or ADMIN_SECRET, login secret for " + engine::logText(user) + " is " +
               secret + (unexpected ? " (cannot keep it: " + problem + ")" : ""));
    return secret;
}

}  // namespace

LoginSettings loginSettingsFromEnvironment(const WebLog& log, const std::string& storageDirectory,
                                           bool storageReadOnly) {
    LoginSettings login;
    login.hostNames = allowedHostNamesFromEnvironment();
    const char* user = environment("SETUP_USER", "ADMIN_USER");
    const char* secret = environment("SETUP_SECRET", "ADMIN_SECRET");
    if (user == nullptr && secret != nullptr) {
        // A secret on its own is a clear wish for a login; leaving the interface open
        // instead would be the worse surprise.
        user = "admin";
        webLog(log, kWebWarn,
               "Web server: SETUP_SECRET or ADMIN_SECRET without SETUP_USER or ADMIN_USER: login enabled "
               "for user admin");
    }
    if (user == nullptr) {
        webLog(log, kWebWarn,
               "Web server: login disabled (no SETUP_USER or ADMIN_USER): the interface is open to "
               "anyone who reaches it");
        return login;
    }
    login.user = user;
    login.secret = secret != nullptr ? std::string(secret)
                                     : generatedSecret(login.user, storageDirectory, storageReadOnly, log);
    return login;
}

bool credentialsMatch(const LoginSettings& login, std::string_view user, std::string_view secret) {
    if (!login.enabled()) {
        return true;
    }
    std::string expected = sha256(login.user) + sha256(login.secret);
    std::string given = sha256(user) + sha256(secret);
    return CRYPTO_memcmp(expected.data(), given.data(), expected.size()) == 0;
}

std::string randomToken(size_t bytes) {
    std::string raw(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1) {
        std::abort();
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
    }
    return out;
}

SessionStore& SessionStore::instance() {
    static SessionStore* store = new SessionStore;  // never destroyed: server threads may outlive exit
    return *store;
}

std::string SessionStore::create(Clock::time_point now, const std::string& user) {
    std::string token = randomToken(32);
    std::lock_guard lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        it = expired(it->second, now) ? sessions_.erase(it) : std::next(it);
    }
    if (sessions_.size() >= kMaxSessions) {
        sessions_.erase(std::min_element(
            sessions_.begin(), sessions_.end(),
            [](const auto& a, const auto& b) { return a.second.lastUse < b.second.lastUse; }));
    }
    sessions_[sha256(token)] = Entry{user, now, now};
    return token;
}

std::optional<std::string> SessionStore::userOf(std::string_view token, Clock::time_point now) {
    if (token.empty()) {
        return std::nullopt;
    }
    std::string key = sha256(token);
    std::lock_guard lock(mutex_);
    auto found = sessions_.find(key);
    if (found == sessions_.end()) {
        return std::nullopt;
    }
    if (expired(found->second, now)) {
        sessions_.erase(found);
        return std::nullopt;
    }
    found->second.lastUse = std::max(found->second.lastUse, now);
    return found->second.user;
}

std::optional<std::string> SessionStore::remove(std::string_view token) {
    std::string key = sha256(token);
    std::lock_guard lock(mutex_);
    auto found = sessions_.find(key);
    if (found == sessions_.end()) {
        return std::nullopt;
    }
    std::string user = std::move(found->second.user);
    sessions_.erase(found);
    return user;
}

void SessionStore::clear() {
    std::lock_guard lock(mutex_);
    sessions_.clear();
}

LoginThrottle& LoginThrottle::instance() {
    static LoginThrottle* throttle = new LoginThrottle;
    return *throttle;
}

std::chrono::milliseconds LoginThrottle::wait(const std::string& address, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(address);
    if (found == entries_.end() || now >= found->second.allowedFrom) {
        return std::chrono::milliseconds(0);
    }
    return std::chrono::ceil<std::chrono::milliseconds>(found->second.allowedFrom - now);
}

void LoginThrottle::failed(const std::string& address, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    // Forget addresses that have been quiet for a while, and bound the table.
    for (auto it = entries_.begin(); it != entries_.end();) {
        it = now - it->second.last > std::chrono::minutes(15) ? entries_.erase(it) : std::next(it);
    }
    if (entries_.size() >= 4096 && entries_.find(address) == entries_.end()) {
        entries_.erase(std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a.second.last < b.second.last;
        }));
    }
    Entry& entry = entries_[address];
    entry.failures = std::min(entry.failures + 1, 1000);
    entry.last = now;
    if (entry.failures >= kFreeAttempts) {
        int doublings = std::min(entry.failures - kFreeAttempts, 6);
        auto delay =
            std::min<std::chrono::milliseconds>(std::chrono::seconds(1) * (1 << doublings), kMaxDelay);
        entry.allowedFrom = now + delay;
    }
}

void LoginThrottle::succeeded(const std::string& address) {
    std::lock_guard lock(mutex_);
    entries_.erase(address);
}

void LoginThrottle::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace zephrane::web
