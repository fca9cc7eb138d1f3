#pragma once

// Parameter sets (zephrane_NewParameters / zephrane_SetParameter) and what a process
// makes of them: the storage keys STATE_FILENAME, STATE_ONAIR, STORAGE_RO, STATE_RO,
// and start values for settings named by their dotted path ("in.gain" = "-6").
#include <string>
#include <utility>
#include <vector>

#include "session.h"
#include "state_store.h"

struct ZephraneParameters {
    std::vector<std::pair<std::string, std::string>> values;  // in the order set; a later key wins
};

namespace zephrane::engine {

struct ProcessOptions {
    StoreOptions store;
    Session::StartValues startValues;
};

// Reads the set (null: none). Unknown keys and unusable start values are logged at
// WARN and ignored. Returns false with error set for a file name that is refused.
bool readProcessOptions(const ZephraneParameters* parameters, const char* storagePath,
                        ProcessOptions& options, std::string& error);

}  // namespace zephrane::engine
