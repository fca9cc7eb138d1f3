// Fuzz target over the JSON control handler: bytes are framed into lines as the TCP
// port does and every line is answered. Any crash, hang or reply that is not a single
// line of valid JSON is a finding. Built with libFuzzer under clang, or with the small
// driver in fuzz_driver.cpp under any compiler.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string_view>

#include "control_protocol.h"
#include "line_server.h"
#include "process_core.h"
#include "session.h"

namespace {

using namespace zephrane::engine;

struct Fixture {
    Fixture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "engine-fuzz-XXXXXX").string();
        dir = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
        StoreOptions options;
        options.dir = dir;
        bool joined = false;
        core = std::make_shared<ProcessCore>(Session::open(options, {}, joined), 48);
    }
    ~Fixture() {
        core.reset();
        std::error_code error;
        std::filesystem::remove_all(dir, error);
    }
    std::string dir;
    std::shared_ptr<ProcessCore> core;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture fixture;
    ClientView client(fixture.core);
    LineFramer framer;
    auto result =
        framer.feed(std::string_view(reinterpret_cast<const char*>(data), size), [&](std::string_view line) {
            std::string reply = handleControlRequest(client, line);
            if (reply.find('\n') != std::string::npos || !nlohmann::json::accept(reply) ||
                !nlohmann::json::parse(reply).is_object()) {
                std::abort();
            }
        });
    (void)result;
    // Audio keeps flowing with whatever the requests set.
    float buffer[48] = {1.0f, -1.0f, 0.5f};
    fixture.core->chain().process(buffer, buffer, 48);
    for (float x : buffer) {
        if (!(x >= -1.0f && x <= 1.0f)) {
            std::abort();
        }
    }
    return 0;
}
