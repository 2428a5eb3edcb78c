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

#define INSTANTIATE_PER_ISA_IN(suite, isas)                  \
  INSTANTIATE_TEST_SUITE_P(                                  \
      Isa, suite, ::testing::ValuesIn(isas),                 \
      [](const ::testing::TestParamInfo<pupil::Isa>& info) { \
        return suite::isa_name(info.param);                  \
      })
#define INSTANTIATE_PER_ISA(suite) \
  INSTANTIATE_PER_ISA_IN(suite, pupil::kAllIsas)
// For comparisons with the reference: the vector sets only.
constexpr pupil::Isa kVectorIsas[] = {pupil::Isa::kAvx2, pupil::Isa::kAvx512};
#define INSTANTIATE_PER_VECTOR_ISA(suite) \
  INSTANTIATE_PER_ISA_IN(suite, kVectorIsas)

#endif
