#include "net/client_caps.h"

namespace zephrane::net {

struct ClientCaps::Counts {
    Counts(size_t perAddress, size_t total) : perAddress(perAddress), total(total) {}
    const size_t perAddress;
    const size_t total;
    mutable std::mutex mutex;
    std::map<std::string, size_t> byAddress;
    size_t open = 0;
};

ClientCaps::ClientCaps(size_t perAddress, size_t total)
    : counts_(std::make_shared<Counts>(perAddress, total)) {}

ClientCaps::Slot ClientCaps::admit(const std::string& address, Refusal* refusal) {
    std::lock_guard lock(counts_->mutex);
    Refusal why = Refusal::None;
    auto found = counts_->byAddress.find(address);
    if (counts_->open >= counts_->total) {
        why = Refusal::Total;
    } else if (found != counts_->byAddress.end() && found->second >= counts_->perAddress) {
        why = Refusal::PerAddress;
    }
    if (refusal != nullptr) {
        *refusal = why;
    }
    if (why != Refusal::None) {
        return {};
    }
    ++counts_->byAddress[address];
    ++counts_->open;
    return Slot(counts_, address);
}

size_t ClientCaps::open(const std::string& address) const {
    std::lock_guard lock(counts_->mutex);
    auto found = counts_->byAddress.find(address);
    return found == counts_->byAddress.end() ? 0 : found->second;
}

size_t ClientCaps::total() const {
    std::lock_guard lock(counts_->mutex);
    return counts_->open;
}

ClientCaps::Slot& ClientCaps::Slot::operator=(Slot&& other) noexcept {
    if (this != &other) {
        release();
        counts_ = std::move(other.counts_);
        address_ = std::move(other.address_);
    }
    return *this;
}

ClientCaps::Slot::~Slot() {
    release();
}

void ClientCaps::Slot::release() {
    // The last slot may own the counts: keep them alive until the lock is given back.
    std::shared_ptr<Counts> counts = std::move(counts_);
    if (!counts) {
        return;
    }
    std::lock_guard lock(counts->mutex);
    auto found = counts->byAddress.find(address_);
    if (found != counts->byAddress.end() && --found->second == 0) {
        counts->byAddress.erase(found);
    }
    --counts->open;
}

}  // namespace zephrane::net
