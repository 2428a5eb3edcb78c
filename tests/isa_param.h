// Runs a test once per instruction set with its own kernels; an instruction
// set this CPU lacks is reported as skipped, never passed silently.
#ifndef PUPIL_RADIAL_TESTS_ISA_PARAM_H
#define PUPIL_RADIAL_TESTS_ISA_PARAM_H

#include <gtest/gtest.h>

#include <string>

#include "dispatch.h"

class PerIsa : public ::testing::TestWithParam<pupil::Isa> {
 protected:
  void SetUp() override {
    if (!pupil::cpu_supports(GetParam()))
      GTEST_SKIP() << "this CPU lacks " << isa_name(GetParam());
    kernels_ = pupil::ray_kernels_for(GetParam());
  }

 public:
  static std::string isa_name(pupil::Isa isa) {
    return pupil::ray_kernels_for(isa).name;
  }

 protected:
  pupil::RayKernels kernels_{};
};

namespace pupil {
inline void PrintTo(Isa isa, std::ostream* os) { *os << PerIsa::isa_name(isa); }
}  // namespace pupil

#define INSTANTIATE_PER_ISA(suite)                           \
  INSTANTIATE_TEST_SUITE_P(                                  \
      Isa, suite, ::testing::ValuesIn(pupil::kAllIsas),      \
      [](const ::testing::TestParamInfo<pupil::Isa>& info) { \
        return suite::isa_name(info.param);                  \
      })

#endif
