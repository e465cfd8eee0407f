// GoogleTest hooks of the emulation: every test runs with the verifier on and the virtual clock.
#pragma once

#include <functional>
#include <string>

namespace emu::testing {

// Runs after every test (in registration order): layers check what must be gone by then
// (requests left pending, IRPs and pool leaked, key handles left open) and raise faults.
void AddEndOfTestCheck(std::string name, std::function<void()> check);
// Runs before every test: layers reset their test-bed state.
void AddStartOfTestHook(std::string name, std::function<void()> hook);

// Called by the test main; exposed for programs that embed the emulation without GoogleTest.
void RunStartOfTestHooks();
void RunEndOfTestChecks();

}  // namespace emu::testing
