#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "instance_settings.h"
#include "processing_instance.h"

namespace zephrane {

// Creates a processing instance for a graph cycle length; empty on failure. Throws
// std::bad_alloc when the engine has no memory for a parameter set.
using InstanceFactory = std::function<std::shared_ptr<ProcessingInstance>(uint32_t framesPerCycle)>;

// A factory that owns a copy of the settings, so every creation reads the same ones.
InstanceFactory makeInstanceFactory(const InstanceSettings& settings);

// One creation: chunk size, parameters, engine process, metadata, update loop, web server.
std::shared_ptr<ProcessingInstance> createInstance(const InstanceSettings& settings, uint32_t framesPerCycle);

}  // namespace zephrane
