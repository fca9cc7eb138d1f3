#include "short_option_string.h"

namespace zephrane {

std::string shortOptionString(const option* table) {
    std::string letters;
    for (const option* entry = table; entry->name != nullptr; ++entry) {
        letters += static_cast<char>(entry->val);
        letters.append(static_cast<size_t>(entry->has_arg), ':');
    }
    return letters;
}

}  // namespace zephrane
