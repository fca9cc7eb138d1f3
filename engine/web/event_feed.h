#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "control_channel.h"

namespace zephrane::web {

// Polls the processing instance for its meters (and now and then its whole settings
// tree) while at least one browser listens, and hands the latest of each to every
// listener as server-sent events. One poller per server however many browsers watch.
class EventFeed {
  public:
    EventFeed(std::shared_ptr<ControlChannel> channel, std::chrono::milliseconds interval);

    // The polling loop; returns after stop().
    void run();
    void stop();

    struct Cursor {
        uint64_t status = 0, settings = 0, meter = 0;
    };
    void subscribe();
    void unsubscribe();
    // Waits up to the time-out for events newer than the cursor and appends them, in
    // event-stream form, to out. False once stopped.
    bool next(Cursor& cursor, std::string& out, std::chrono::milliseconds timeout);

    // Settings are re-read every this many meter polls, so changes made elsewhere show.
    static constexpr int kSettingsEvery = 10;

  private:
    struct Slot {
        uint64_t seq = 0;
        std::string data;
    };
    void publish(Slot& slot, const char* event, std::string data);

    const std::shared_ptr<ControlChannel> channel_;
    const std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int subscribers_ = 0;
    bool stopped_ = false;
    uint64_t seq_ = 0;
    Slot status_, settings_, meter_;
};

}  // namespace zephrane::web
