// The fault matrix at its short scale, one test per row: every case with fewer runs and smaller
// images. A row fails on any result its case does not allow, any success that left a wrong image
// in the device, a descriptor left open, a wait on a gone or silent device that uses the CPU, a
// gone device given up too soon or too late, or a Cancel over its bound. Each failure comes with
// the command line that repeats it through bench/faults.
#include <gtest/gtest.h>

#include <cctype>

#include "tests/faults/matrix.h"

namespace faults {

// A row shows as its name in the test's output.
void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

namespace {

class FaultMatrix : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, EndsAsItsCaseAllows) {
    Options options;
    // A sanitizer's allocator holds freed memory back (ASan's quarantine), so the resident size
    // says nothing about leaks there; LeakSanitizer judges those.
    options.judgeRss = QUORVANE_FAULTS_JUDGE_RSS;
    Matrix matrix(options, kShort);
    matrix.Run(GetParam());
    matrix.Print(stdout);
    for (const std::string& problem : matrix.Problems())
        ADD_FAILURE() << problem;
}

// The rows the short run keeps.
std::vector<FaultCase> Short(std::vector<FaultCase> cases) {
    std::erase_if(cases, [](const FaultCase& c) { return c.fullOnly; });
    return cases;
}

// "CRC: flips into the device 1e-4" -> "CRC_flips_into_the_device_1e_4"
std::string TestName(const testing::TestParamInfo<FaultCase>& info) {
    std::string name;
    for (const char c : info.param.name) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name += c;
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    while (!name.empty() && name.back() == '_')
        name.pop_back();
    return name;
}

INSTANTIATE_TEST_SUITE_P(Line, FaultMatrix, testing::ValuesIn(Short(LineCases())), TestName);
INSTANTIATE_TEST_SUITE_P(Replies, FaultMatrix, testing::ValuesIn(Short(ReplyCases())), TestName);
INSTANTIATE_TEST_SUITE_P(Vanishing, FaultMatrix, testing::ValuesIn(Short(VanishCases())), TestName);
INSTANTIATE_TEST_SUITE_P(PortHeld, FaultMatrix, testing::ValuesIn(Short(HeldCases())), TestName);
INSTANTIATE_TEST_SUITE_P(Images, FaultMatrix, testing::ValuesIn(Short(ImageCases())), TestName);
INSTANTIATE_TEST_SUITE_P(Soak, FaultMatrix, testing::ValuesIn(Short(SoakCases())), TestName);

}  // namespace
}  // namespace faults
