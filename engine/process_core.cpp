#include "process_core.h"

#include <cmath>
#include <map>
#include <vector>

#include "dsp_kernels.h"
#include "settings.h"

namespace zephrane::engine {

using nlohmann::json;

namespace {

// Meter values are rounded so that "change" does not report noise-level movements.
// Dividing by the exact scale gives the double nearest the decimal, which prints short
// ("-15.2", not "-15.200000000000001").
double rounded(double value, int decimals) {
    double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

json levels(float peak, float rms) {
    return {{"peak", rounded(gainToDb(peak), 1)}, {"rms", rounded(gainToDb(rms), 1)}};
}

std::mutex portsMutex;
std::multimap<uint32_t, std::weak_ptr<ProcessCore>>& ports() {
    static auto* map = new std::multimap<uint32_t, std::weak_ptr<ProcessCore>>;
    return *map;
}

}  // namespace

ProcessCore::ProcessCore(std::shared_ptr<Session> session, uint32_t framesPerChunk)
    : session_(std::move(session)),
      framesPerChunk_(framesPerChunk),
      chain_(audioParamsFrom(session_->settings())) {
    session_->attach(&chain_);
}

ProcessCore::~ProcessCore() {
    session_->detach(&chain_);
}

void ProcessCore::setMetadata(const std::string& key, const std::string& value) {
    std::lock_guard lock(metaMutex_);
    metadata_[key] = value;
}

json ProcessCore::metadata() const {
    std::lock_guard lock(metaMutex_);
    return metadata_;
}

json ProcessCore::info() const {
    return {{"version", kEngineVersion}, {"rate", kSampleRate}, {"chunk", framesPerChunk_}, {"channels", 1}};
}

json ProcessCore::meters() {
    MeterSnapshot m = chain_.meters();
    return {{"in", levels(m.inPeak, m.inRms)},
            {"out", levels(m.outPeak, m.outRms)},
            {"load", rounded(m.loadPercent, 2)},
            {"nonfinite", m.nonFinite}};
}

json ProcessCore::tree() {
    json tree = session_->settings();
    tree["meter"] = meters();
    tree["meta"] = metadata();
    tree["info"] = info();
    tree["preset"] = session_->onair();
    return tree;
}

std::shared_ptr<ProcessCore> findProcessByPort(uint32_t port) {
    std::lock_guard lock(portsMutex);
    auto [first, last] = ports().equal_range(port);
    std::shared_ptr<ProcessCore> newest;
    for (auto it = first; it != last; ++it) {
        if (auto core = it->second.lock()) {
            newest = core;
        }
    }
    return newest;
}

void registerProcessPort(uint32_t port, const std::shared_ptr<ProcessCore>& core) {
    std::lock_guard lock(portsMutex);
    ports().emplace(port, core);
}

void unregisterProcessPort(uint32_t port, const ProcessCore* core) {
    std::lock_guard lock(portsMutex);
    auto [first, last] = ports().equal_range(port);
    for (auto it = first; it != last;) {
        auto live = it->second.lock();
        it = (!live || live.get() == core) ? ports().erase(it) : std::next(it);
    }
}

}  // namespace zephrane::engine
