// Test main: the verifier is on in every test and every unexpected fault fails the test that
// caused it; each test starts on a fresh virtual clock and ends with the layers' leak checks.
#include <gtest/gtest.h>

#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"

namespace {

void FailTest(const emu::verifier::Report& r) {
    ADD_FAILURE() << "verifier: " << emu::verifier::FaultName(r.fault) << ": " << r.message;
}

class VerifierListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        emu::verifier::Reset();
        emu::SetClockMode(emu::ClockMode::Virtual);
        emu::testing::RunStartOfTestHooks();
    }
    // GoogleTest calls OnTestEnd of appended listeners before its own printer's, while the test
    // is still current, so faults raised here fail the test that left them.
    void OnTestEnd(const ::testing::TestInfo&) override {
        emu::RunUntilIdle();
        emu::testing::RunEndOfTestChecks();
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    emu::verifier::SetFailHandler(FailTest);
    ::testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
    return RUN_ALL_TESTS();
}
