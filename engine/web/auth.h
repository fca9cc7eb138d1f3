#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web_log.h"

namespace zephrane::web {

// Who may use a web interface: the login, and the host names it answers to.
struct LoginSettings {
    std::string user;  // empty: login disabled, the interface is open
    std::string secret;
    // Besides IP literals and "localhost" (see hostAllowed).
    std::vector<std::string> hostNames{};
    bool enabled() const { return !user.empty(); }
};

// File in the storage directory that keeps a generated login secret (mode 0600).
inline constexpr const char* kLoginSecretFileName = "web-login-secret";

// SETUP_USER, else ADMIN_USER; SETUP_SECRET, else ADMIN_SECRET. A secret without a user
// enables login for "admin". A user without a secret gets a random one, kept in the
// storage directory (and read from there after a restart); only when it cannot be kept
// there (no directory, read-only, a write failure) is it logged at WARN. Host names come
// from allowedHostNamesFromEnvironment.
LoginSettings loginSettingsFromEnvironment(const WebLog& log, const std::string& storageDirectory = {},
                                           bool storageReadOnly = false);

// Constant-time in the contents of both; lengths are hidden by comparing digests.
bool credentialsMatch(const LoginSettings& login, std::string_view user, std::string_view secret);

std::string randomToken(size_t bytes);  // hex

using Clock = std::chrono::steady_clock;

// Logged-in sessions. One store per process, so a web server that replaces another at a
// cycle-length change keeps everyone logged in.
class SessionStore {
  public:
    static SessionStore& instance();

    std::string create(Clock::time_point now, const std::string& user = {});
    // Whether the token names a live session; extends its idle time.
    bool check(std::string_view token, Clock::time_point now) { return userOf(token, now).has_value(); }
    // The user the live session named by token belongs to; extends its idle time.
    std::optional<std::string> userOf(std::string_view token, Clock::time_point now);
    // The user of the removed session, or nothing when there was none.
    std::optional<std::string> remove(std::string_view token);
    void clear();

    static constexpr std::chrono::hours kIdleLifetime{24};
    // From the login, however busy the session: a stolen cookie stops working.
    static constexpr std::chrono::hours kAbsoluteLifetime{12};
    static constexpr size_t kMaxSessions = 1000;

  private:
    struct Entry {
        std::string user;
        Clock::time_point created;
        Clock::time_point lastUse;
    };
    bool expired(const Entry& entry, Clock::time_point now) const {
        return now - entry.lastUse > kIdleLifetime || now - entry.created > kAbsoluteLifetime;
    }

    std::mutex mutex_;
    // By the token's digest, so the lookup time says nothing about the token itself.
    std::map<std::string, Entry> sessions_;
};

// Slows down guessing: after a few failures from one address, further attempts are
// refused for a delay that doubles with each failure, up to a minute.
class LoginThrottle {
  public:
    static LoginThrottle& instance();

    // How long the address must still wait before its next attempt (zero: may try now).
    std::chrono::milliseconds wait(const std::string& address, Clock::time_point now);
    void failed(const std::string& address, Clock::time_point now);
    void succeeded(const std::string& address);
    void clear();

    static constexpr int kFreeAttempts = 3;
    static constexpr std::chrono::seconds kMaxDelay{60};

  private:
    struct Entry {
        int failures = 0;
        Clock::time_point last{};
        Clock::time_point allowedFrom{};
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

}  // namespace zephrane::web
