#include "startup.h"

namespace zephrane {

StartupResult runStartup(int, char**) {
    StartupResult result;
    result.settings = InstanceSettings{};
    return result;
}

}  // namespace zephrane
