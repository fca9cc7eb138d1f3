#include "processing_instance.h"

namespace zephrane {

ProcessingInstance::~ProcessingInstance() {
    stop();
    if (parameters != nullptr) {
        zephrane_FreeParameters(parameters);
        parameters = nullptr;
    }
    pendingMetadata.clear();
}

void ProcessingInstance::stop() {
    if (process == nullptr) {
        return;
    }
    if (webserver != -1) {
        zephrane_Webserver_Stop(webserver, 1000);
        webserver = -1;
    }
    if (updateThread.joinable()) {
        zephrane_StopUpdateThread(process);
        updateThread.join();
    }
    zephrane_ExitProcess(process);
    process = nullptr;
}

}  // namespace zephrane
