#pragma once

// A child that should have exited with 0; on failure the message carries its standard
// error, where a sanitizer report or the program's last log lines are.

#include <gtest/gtest.h>

#include "child_process.h"

namespace zephrane::testing {

inline ::testing::AssertionResult exitedCleanly(const ChildResult& result) {
    if (result.status == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "exit status " << result.status
                                         << (result.timedOut ? " (timed out)" : "") << "; standard error:\n"
                                         << result.err;
}

}  // namespace zephrane::testing
