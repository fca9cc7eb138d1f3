#include "engine_version.h"

#include "zephrane_engine.h"

namespace zephrane {

const char* engineVersion() {
    const char* version = zephrane_GetVersion();
    return version != nullptr ? version : "";
}

}  // namespace zephrane
