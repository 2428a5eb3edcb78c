// Runs a test once per instruction set with its own functions; an instruction
// set this CPU lacks is reported as skipped, never passed silently.
#ifndef PUPIL_RADIAL_TESTS_ISA_PARAM_H
#define PUPIL_RADIAL_TESTS_ISA_PARAM_H

#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "dispatch.h"

class PerIsa : public ::testing::TestWithParam<pupil::Isa> {
 protected:
  void SetUp() override {
    if (!pupil::cpu_supports(GetParam()))
      GTEST_SKIP() << "this CPU lacks " << isa_name(GetParam());
    functions_ = pupil::ray_functions_for(GetParam());
  }

 public:
  static std::string isa_name(pupil::Isa isa) {
    return pupil::ray_functions_for(isa).name;
  }

 protected:
  pupil::RayFunctions functions_{};
};

namespace pupil {
inline void PrintTo(Isa isa, std::ostream* os) { *os << PerIsa::isa_name(isa); }
}  // namespace pupil

#define INSTANTIATE_PER_ISA_FROM(suite, first)                \
  INSTANTIATE_TEST_SUITE_P(                                   \
      Isa, suite,                                             \
      ::testing::ValuesIn(std::begin(pupil::kIsas) + (first), \
                          std::end(pupil::kIsas)),            \
      [](const ::testing::TestParamInfo<pupil::Isa>& info) {  \
        return suite::isa_name(info.param);                   \
      })
// Every set this architecture builds, or (for comparisons with the
// reference, which is always first) the vector sets only.
#define INSTANTIATE_PER_ISA(suite) INSTANTIATE_PER_ISA_FROM(suite, 0)
#define INSTANTIATE_PER_VECTOR_ISA(suite) INSTANTIATE_PER_ISA_FROM(suite, 1)

#endif
