#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace zephrane::net {

// Counts the connections of each client address and of all together. A connection holds
// a Slot while it is open; one client (or one address) cannot take every slot.
class ClientCaps {
    struct Counts;

  public:
    ClientCaps(size_t perAddress, size_t total);

    // Held by one connection; gives its place back when destroyed.
    class Slot {
      public:
        Slot() = default;
        Slot(Slot&&) noexcept = default;
        Slot& operator=(Slot&&) noexcept;
        ~Slot();
        explicit operator bool() const { return counts_ != nullptr; }

      private:
        friend class ClientCaps;
        Slot(std::shared_ptr<Counts> counts, std::string address)
            : counts_(std::move(counts)), address_(std::move(address)) {}
        void release();
        std::shared_ptr<Counts> counts_;
        std::string address_;
    };

    enum class Refusal { None, PerAddress, Total };
    // A slot, or an empty one with the cap that refused it.
    Slot admit(const std::string& address, Refusal* refusal = nullptr);
    size_t open(const std::string& address) const;
    size_t total() const;

  private:
    std::shared_ptr<Counts> counts_;
};

}  // namespace zephrane::net
