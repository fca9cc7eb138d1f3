#include "event_feed.h"

#include <nlohmann/json.hpp>

namespace zephrane::web {

EventFeed::EventFeed(std::shared_ptr<ControlChannel> channel, std::chrono::milliseconds interval)
    : channel_(std::move(channel)), interval_(interval) {}

void EventFeed::publish(Slot& slot, const char* event, std::string data) {
    std::lock_guard lock(mutex_);
    std::string frame = std::string("event: ") + event + "\ndata: " + data + "\n\n";
    if (&slot == &status_ && slot.data == frame) {
        return;  // the connection state is sent when it changes
    }
    slot.seq = ++seq_;
    slot.data = std::move(frame);
    changed_.notify_all();
}

void EventFeed::run() {
    int tick = 0;
    bool wasConnected = false;
    auto nextPoll = std::chrono::steady_clock::now();
    while (true) {
        {
            std::unique_lock lock(mutex_);
            if (subscribers_ == 0) {
                changed_.wait(lock, [this] { return stopped_ || subscribers_ > 0; });
                nextPoll = std::chrono::steady_clock::now();
            }
            if (stopped_) {
                return;
            }
            // Fixed rate, not fixed gap: a slow reply does not slow the meters down.
            if (changed_.wait_until(lock, nextPoll, [this] { return stopped_; })) {
                return;
            }
        }
        nextPoll += interval_;
        std::optional<std::string> meter = channel_->request(R"({"get":{"meter":null}})");
        if (!meter) {
            publish(status_, "status", R"({"connected":false})");
            wasConnected = false;
            nextPoll = std::max(nextPoll, std::chrono::steady_clock::now());
            continue;
        }
        nlohmann::json parsed = nlohmann::json::parse(*meter, nullptr, false);
        if (parsed.is_object() && parsed.contains("meter")) {
            publish(meter_, "meter", parsed["meter"].dump());
        } else {
            publish(meter_, "meter", *meter);
        }
        if (!wasConnected || ++tick >= kSettingsEvery) {
            tick = 0;
            if (std::optional<std::string> settings = channel_->request(R"({"get":null})")) {
                publish(settings_, "settings", *settings);
            }
        }
        publish(status_, "status", R"({"connected":true})");
        wasConnected = true;
        nextPoll = std::max(nextPoll, std::chrono::steady_clock::now());
    }
}

void EventFeed::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

void EventFeed::subscribe() {
    std::lock_guard lock(mutex_);
    ++subscribers_;
    changed_.notify_all();
}

void EventFeed::unsubscribe() {
    std::lock_guard lock(mutex_);
    --subscribers_;
}

bool EventFeed::next(Cursor& cursor, std::string& out, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    auto fresh = [&] {
        return status_.seq > cursor.status || settings_.seq > cursor.settings || meter_.seq > cursor.meter;
    };
    changed_.wait_for(lock, timeout, [&] { return stopped_ || fresh(); });
    if (stopped_) {
        return false;
    }
    // Status first, so the page knows the state before it reads the values.
    for (auto [slot, seen] : {std::pair{&status_, &cursor.status}, std::pair{&settings_, &cursor.settings},
                              std::pair{&meter_, &cursor.meter}}) {
        if (slot->seq > *seen) {
            out += slot->data;
            *seen = slot->seq;
        }
    }
    return true;
}

}  // namespace zephrane::web
