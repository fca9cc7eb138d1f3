#include "auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdlib>

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

LoginSettings loginSettingsFromEnvironment(const WebLog& log) {
    LoginSettings login;
    if (const char* user = environment("SETUP_USER", "ADMIN_USER")) {
        login.user = user;
    }
    if (!login.enabled()) {
        webLog(log, kWebWarn,
               "Web server: login disabled (no SETUP_USER or ADMIN_USER): the interface is open to "
               "anyone who reaches it");
        return login;
    }
    if (const char* secret = environment("SETUP_SECRET", "ADMIN_SECRET")) {
        login.secret = secret;
        return login;
    }
    static std::mutex mutex;
    static std::string generated;
    std::lock_guard lock(mutex);
    if (generated.empty()) {
        generated = randomSecret();
        webLog(log, kWebWarn,
               "Web server: no SETUP_SECRET or ADMIN_SECRET, login secret for " + login.user + " is " +
                   generated);
    }
    login.secret = generated;
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

std::string SessionStore::create(Clock::time_point now) {
    std::string token = randomToken(32);
    std::lock_guard lock(mutex_);
    for (auto it = lastUse_.begin(); it != lastUse_.end();) {
        it = now - it->second > kIdleLifetime ? lastUse_.erase(it) : std::next(it);
    }
    if (lastUse_.size() >= kMaxSessions) {
        lastUse_.erase(std::min_element(lastUse_.begin(), lastUse_.end(),
                                        [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    lastUse_[sha256(token)] = now;
    return token;
}

bool SessionStore::check(std::string_view token, Clock::time_point now) {
    if (token.empty()) {
        return false;
    }
    std::string key = sha256(token);
    std::lock_guard lock(mutex_);
    auto found = lastUse_.find(key);
    if (found == lastUse_.end()) {
        return false;
    }
    if (now - found->second > kIdleLifetime) {
        lastUse_.erase(found);
        return false;
    }
    found->second = std::max(found->second, now);
    return true;
}

void SessionStore::remove(std::string_view token) {
    std::string key = sha256(token);
    std::lock_guard lock(mutex_);
    lastUse_.erase(key);
}

void SessionStore::clear() {
    std::lock_guard lock(mutex_);
    lastUse_.clear();
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
