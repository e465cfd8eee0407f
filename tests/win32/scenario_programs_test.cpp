// Ordinary serial programs, unchanged, against the port: one in C and one in C++ (programs/).
#include "programs/programs.h"
#include "scenario.h"

namespace scenario {
namespace {

std::string Narrow(const WCHAR* s) {
    std::string out;
    for (; *s; ++s) out += static_cast<char>(*s);
    return out;
}

using Programs = PortTest;

TEST_F(Programs, TheCProgramRunsCleanly) { EXPECT_EQ(serial_program_c(Narrow(PortName()).c_str()), 0); }

TEST_F(Programs, TheCppProgramRunsCleanly) { EXPECT_EQ(serial_program_cpp(Narrow(PortName()).c_str()), 0); }

}  // namespace
}  // namespace scenario
