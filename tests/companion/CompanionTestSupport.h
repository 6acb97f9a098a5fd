#pragma once

#include "companion/CompanionController.h"
#include "platform/ChildProcess.h"
#include "tests/support/Companion.h"
#include "tests/support/Sandbox.h"

#include <string>

namespace ferrox_test {

// The test companion (TestCompanion.cpp) built beside the test executables.
inline std::string testCompanionPath() {
    return besideExecutable(FERROX_TEST_COMPANION_FILE);
}

// Ends the companion a test launched, by its own process, even when an assertion fails.
struct CompanionGuard {
    const QuillmarkPluginDevices::CompanionController& controller;
    bool reaped = false; // a reaped process id may already belong to someone else
    ~CompanionGuard() {
        if (controller.launched() && !reaped) {
            platform::terminateProcess(controller.companionProcess());
        }
    }
};

} // namespace ferrox_test
