#include "fake_engine.h"

namespace zephrane::testing {

FakeEngine* FakeEngine::current = nullptr;

}  // namespace zephrane::testing
