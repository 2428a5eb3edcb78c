// The call when its scratch memory cannot be had: it returns 0, leaves the
// output untouched and keeps nothing. The test binary interposes malloc and
// free (core.so binds to them like to any other allocator) and can make the
// first or second scratch allocation fail.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <vector>

#include "pupil_radial.h"

extern "C" void* __libc_malloc(size_t);
extern "C" void __libc_free(void*);

namespace {
// Plain globals: the test is single-threaded while armed.
int g_calls_until_failure = -1;  // -1: never fail
int g_live_blocks = 0;
bool g_counting = false;
}  // namespace

extern "C" void* malloc(size_t size) {
  if (g_counting) {
    if (g_calls_until_failure == 0) {
      g_calls_until_failure = -1;
      return nullptr;
    }
    if (g_calls_until_failure > 0) --g_calls_until_failure;
  }
  void* p = __libc_malloc(size);
  if (g_counting && p != nullptr) ++g_live_blocks;
  return p;
}

extern "C" void free(void* p) {
  if (g_counting && p != nullptr) --g_live_blocks;
  __libc_free(p);
}

namespace {

struct Inputs {
  std::vector<float> gx{0, 1, 3, 2, 0}, gy{0, 0, 0, 0, 0};
  float rmin[2] = {0, 0}, rmax[2] = {4, 4};
  double kernel[1] = {1};
  double out[2] = {7, 7};
  int32_t run(int32_t samples = 5) {
    return pupil_guided_radial_search(gx.data(), gy.data(), 1, 5, 0, 0, 2, rmin,
                                      rmax, samples, kernel, 1, out);
  }
};

TEST(AllocationFailure, EitherScratchArrayFailingLeavesOutputUntouched) {
  for (int fail_at : {0, 1}) {
    Inputs in;
    g_live_blocks = 0;
    g_calls_until_failure = fail_at;
    g_counting = true;
    const int32_t found = in.run();
    g_counting = false;
    EXPECT_EQ(found, 0) << "failing allocation " << fail_at;
    EXPECT_EQ(in.out[0], 7.0);
    EXPECT_EQ(in.out[1], 7.0);
    EXPECT_EQ(g_live_blocks, 0) << "leaked with allocation " << fail_at;
  }
  // And when both succeed, both are released.
  Inputs in;
  g_live_blocks = 0;
  g_calls_until_failure = -1;
  g_counting = true;
  EXPECT_EQ(in.run(), 2);
  g_counting = false;
  EXPECT_EQ(g_live_blocks, 0);
  EXPECT_EQ(in.out[0], 2.0);
}

// 2^31 - 1 samples need 16 GiB per scratch array. Under a 2 GiB address
// space limit the allocation really fails, rather than being overcommitted
// and touched page by page.
const rlimit kTwoGiB{rlim_t{2} << 30, rlim_t{2} << 30};

void run_huge_call_under_address_limit() {
  if (setrlimit(RLIMIT_AS, &kTwoGiB) != 0) _exit(2);
  Inputs in;
  const int32_t found = in.run(INT_MAX);
  _exit(found == 0 && in.out[0] == 7.0 && in.out[1] == 7.0 ? 0 : 1);
}

// Whether a child under the limit is refused 3 GiB. User-mode emulators
// (qemu-user) keep the limit from the program they run.
bool address_limit_enforced() {
  const pid_t child = fork();
  if (child == 0) {
    if (setrlimit(RLIMIT_AS, &kTwoGiB) != 0) _exit(2);
    _exit(malloc(size_t{3} << 30) == nullptr ? 0 : 1);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child &&
         WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(AllocationFailureDeathTest, HugeSampleCountFailsCleanly) {
  if (!address_limit_enforced())
    GTEST_SKIP() << "an address-space limit is not enforced here";
  EXPECT_EXIT(run_huge_call_under_address_limit(), ::testing::ExitedWithCode(0),
              "");
}

}  // namespace
