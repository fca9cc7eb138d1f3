#pragma once

#include <string>

struct pw_main_loop;
struct pw_filter;

namespace zephrane {

// What the main loop owns of the filter node: its loop and filter handles and how the
// connection ended.
struct MainLoopSide {
    pw_main_loop* loop = nullptr;
    pw_filter* filter = nullptr;
    // Set when the PipeWire connection was lost, with PipeWire's text.
    bool connectionLost = false;
    std::string connectionError;
    // Set before the host disconnects on purpose, so that is not taken for a loss.
    bool stopping = false;
};

}  // namespace zephrane
