#include "filter_node.h"
#include "startup.h"

int main(int argc, char** argv) {
    zephrane::StartupResult startup = zephrane::runStartup(argc, argv);
    if (!startup.settings) {
        return startup.exitStatus;
    }
    return zephrane::runFilterNode(*startup.settings, startup.clientName, startup.links, argc, argv);
}
