// Tests that need a fresh process (state that a process sets once, such as the dial-up
// module's binding) run their body in a new process of the same test program:
//
//     TEST_F(Suite, Name) {
//         if (!testing_support::InOwnProcess()) return testing_support::RunInOwnProcess();
//         ...
//     }
//
// The fixture's set-up and tear-down run in both processes.
#pragma once

namespace testing_support {

// True in the process started for the current test.
bool InOwnProcess();
// Runs the current test alone in a new process and fails when it fails there, with the
// other process's output.
void RunInOwnProcess();

}  // namespace testing_support
