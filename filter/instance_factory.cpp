#include "instance_factory.h"

#include <new>

#include "log.h"
#include "select_frames_per_chunk.h"

namespace zephrane {

namespace {

void setStorageParameters(const InstanceSettings& settings, ZephraneParametersHandle parameters) {
    if (!settings.stateName.empty()) {
        zephrane_SetParameter(parameters, "STATE_FILENAME", settings.stateName.c_str());
    }
    if (!settings.onairName.empty()) {
        zephrane_SetParameter(parameters, "STATE_ONAIR", settings.onairName.c_str());
    }
    if (settings.storageReadOnly) {
        zephrane_SetParameter(parameters, "STORAGE_RO", "1");
    }
    if (settings.stateReadOnly) {
        zephrane_SetParameter(parameters, "STATE_RO", "1");
    }
}

std::shared_ptr<ProcessingInstance> failCreatingProcess() {
    ZLOG(LOG_FATAL) << "Error creating the process, aborting";
    return nullptr;
}

std::shared_ptr<ProcessingInstance> failStartingWebserver() {
    ZLOG(LOG_FATAL) << "Error starting web server, aborting";
    return nullptr;
}

}  // namespace

std::shared_ptr<ProcessingInstance> createInstance(const InstanceSettings& settings,
                                                   uint32_t framesPerCycle) {
    uint32_t framesPerChunk = selectFramesPerChunk(framesPerCycle);

    // On every early return the destructor releases whatever was started so far.
    auto instance = std::make_shared<ProcessingInstance>();
    instance->parameters = zephrane_NewParameters();
    if (instance->parameters == nullptr) {
        throw std::bad_alloc();
    }
    setStorageParameters(settings, instance->parameters);
    for (const auto& [key, value] : settings.parameters) {
        ZLOG(LOG_VERB3) << "Adding parameter " << key << "=" << value;
        zephrane_SetParameter(instance->parameters, key.c_str(), value.c_str());
    }
    for (const auto& [key, value] : settings.metadata) {
        ZLOG(LOG_VERB3) << "Adding metadata " << key << "=" << value;
        if (instance->process != nullptr) {
            zephrane_SetMetadata(instance->process, key.c_str(), value.c_str());
        } else {
            instance->pendingMetadata.emplace_back(key, value);
        }
    }

    instance->process =
        zephrane_InitProcess3(settings.storagePath.c_str(), instance->parameters, framesPerChunk);
    if (instance->process == nullptr) {
        return failCreatingProcess();
    }
    for (const auto& [key, value] : instance->pendingMetadata) {
        zephrane_SetMetadata(instance->process, key.c_str(), value.c_str());
    }
    instance->pendingMetadata.clear();

    ProcessingInstance* self = instance.get();
    uint32_t jsonPort = settings.jsonPort;
    instance->updateThread = std::thread([self, jsonPort] {
        self->beforeUpdateLoop();
        zephrane_StartUpdateThread(self->process, jsonPort);
        self->afterUpdateLoop();
    });
    if (zephrane_WaitUpdateThreadReady(instance->process, 5000) < 0) {
        return failCreatingProcess();
    }

    if (settings.httpPort == 0 && settings.httpsPort == 0) {
        return instance;
    }
    instance->webserver = zephrane_Webserver(settings.httpPort, settings.httpsPort, instance->process);
    if (instance->webserver == -1) {
        return failStartingWebserver();
    }
    int status = zephrane_Webserver_Status(instance->webserver);
    bool httpUp = settings.httpPort == 0 || (status & ZEPHRANE_WEBSERVER_HTTP_LISTENING) != 0;
    bool httpsUp = settings.httpsPort == 0 || (status & ZEPHRANE_WEBSERVER_HTTPS_LISTENING) != 0;
    if (!httpUp || !httpsUp) {
        return failStartingWebserver();
    }
    return instance;
}

InstanceFactory makeInstanceFactory(const InstanceSettings& settings) {
    return [settings](uint32_t framesPerCycle) { return createInstance(settings, framesPerCycle); };
}

}  // namespace zephrane
