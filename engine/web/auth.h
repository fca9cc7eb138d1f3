#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "web_log.h"

namespace zephrane::web {

struct LoginSettings {
    std::string user;  // empty: login disabled, the interface is open
    std::string secret;
    bool enabled() const { return !user.empty(); }
};

// SETUP_USER, else ADMIN_USER; SETUP_SECRET, else ADMIN_SECRET, else a random secret made
// once per process and logged at WARN (the same one for every server of the process).
LoginSettings loginSettingsFromEnvironment(const WebLog& log);

// Constant-time in the contents of both; lengths are hidden by comparing digests.
bool credentialsMatch(const LoginSettings& login, std::string_view user, std::string_view secret);

std::string randomToken(size_t bytes);  // hex

using Clock = std::chrono::steady_clock;

// Logged-in sessions. One store per process, so a web server that replaces another at a
// cycle-length change keeps everyone logged in.
class SessionStore {
  public:
    static SessionStore& instance();

    std::string create(Clock::time_point now);
    // Whether the token names a live session; extends its idle time.
    bool check(std::string_view token, Clock::time_point now);
    void remove(std::string_view token);
    void clear();

    static constexpr std::chrono::hours kIdleLifetime{24};
    static constexpr size_t kMaxSessions = 1000;

  private:
    std::mutex mutex_;
    // By the token's digest, so the lookup time says nothing about the token itself.
    std::map<std::string, Clock::time_point> lastUse_;
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
