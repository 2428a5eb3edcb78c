// The per-ray functions for Advanced SIMD (NEON), which every aarch64 CPU
// has: the shared vector code instantiated with 128-bit vectors. Built
// without contraction, so no fused multiply-add instruction (which GCC
// would otherwise form on aarch64) can change a rounding; everything
// compiled here has internal linkage but the table. Tuned for a Cortex-A76
// class core: two vector pipes, so four independent filter sums.
#include <arm_neon.h>

#include "simd/ray_functions_simd.h"

namespace pupil::arm {
namespace {

struct LaneIndex {
  int32_t at[4];
};

struct V : simd::Shape<128, 4, 8, 4> {
  using F = float32x4_t;
  using I = int32x4_t;
  using M = uint32x4_t;
  using D = float64x2_t;
  using DM = uint64x2_t;
  using Index = LaneIndex;
  static F set1(float v) { return vdupq_n_f32(v); }
  static I iset1(int32_t v) { return vdupq_n_s32(v); }
  static I iota() {
    const int32_t lanes[4] = {0, 1, 2, 3};
    return vld1q_s32(lanes);
  }
  static I iadd(I a, I b) { return vaddq_s32(a, b); }
  static I imin(I a, I b) { return vminq_s32(a, b); }
  static I imullo(I a, I b) { return vmulq_s32(a, b); }
  // Both follow the C conversions: to nearest, and toward zero.
  static F to_float(I v) { return vcvtq_f32_s32(v); }
  static I truncate(F v) { return vcvtq_s32_f32(v); }
  static M ge(F a, F b) { return vcgeq_f32(a, b); }
  static M le(F a, F b) { return vcleq_f32(a, b); }
  static M igt(I a, I b) { return vcgtq_s32(a, b); }
  static M both(M a, M b) { return vandq_u32(a, b); }
  static M first_lanes(int32_t count) {
    return vcltq_s32(iota(), vdupq_n_s32(count));
  }
  static bool any(M m) { return vmaxvq_u32(m) != 0; }
  static F zero_unless(M m, F v) {
    return vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(v), m));
  }
  static F select(M m, F if_not, F if_set) {
    return vbslq_f32(m, if_set, if_not);
  }
  static Index index(I v) {
    Index index;
    vst1q_s32(index.at, v);
    return index;
  }
  // Each lane's pair with one 64-bit load; two pairs make a vector
  // (a0 b0 a1 b1), and unzipping two of those gives the left and the right
  // pixels in lane order.
  static void pairs(const float* image_x, const float* image_y,
                    const Index& index, F& left_x, F& right_x, F& left_y,
                    F& right_y) {
    const int64_t i0 = index.at[0], i1 = index.at[1];
    const int64_t i2 = index.at[2], i3 = index.at[3];
    const F x01 = vcombine_f32(vld1_f32(image_x + i0), vld1_f32(image_x + i1));
    const F x23 = vcombine_f32(vld1_f32(image_x + i2), vld1_f32(image_x + i3));
    const F y01 = vcombine_f32(vld1_f32(image_y + i0), vld1_f32(image_y + i1));
    const F y23 = vcombine_f32(vld1_f32(image_y + i2), vld1_f32(image_y + i3));
    left_x = vuzp1q_f32(x01, x23);
    right_x = vuzp2q_f32(x01, x23);
    left_y = vuzp1q_f32(y01, y23);
    right_y = vuzp2q_f32(y01, y23);
  }
  static void store_widened(double* out, F v, int64_t lanes) {
    const D lo = vcvt_f64_f32(vget_low_f32(v));
    const D hi = vcvt_high_f64_f32(v);
    if (lanes >= kFloats) {
      vst1q_f64(out, lo);
      vst1q_f64(out + 2, hi);
      return;
    }
    dstore_lanes(out, dlanes(0, lanes), lo);
    dstore_lanes(out + 2, dlanes(0, lanes - 2), hi);
  }

  static D dset1(double v) { return vdupq_n_f64(v); }
  static D dzero() { return vdupq_n_f64(0.0); }
  static D dindex() {
    const double lanes[2] = {0.0, 1.0};
    return vld1q_f64(lanes);
  }
  static D dload(const double* p) { return vld1q_f64(p); }
  static void dstore(double* p, D v) { vst1q_f64(p, v); }
  // No masked loads or stores here: lane by lane, so that memory outside
  // the set lanes is never touched.
  static D dload_lanes(const double* p, DM m) {
    D v = vdupq_n_f64(0.0);
    if (vgetq_lane_u64(m, 0) != 0) v = vld1q_lane_f64(p, v, 0);
    if (vgetq_lane_u64(m, 1) != 0) v = vld1q_lane_f64(p + 1, v, 1);
    return v;
  }
  static void dstore_lanes(double* p, DM m, D v) {
    if (vgetq_lane_u64(m, 0) != 0) vst1q_lane_f64(p, v, 0);
    if (vgetq_lane_u64(m, 1) != 0) vst1q_lane_f64(p + 1, v, 1);
  }
  static DM dlanes(int64_t from, int64_t to) {
    const int64_t lanes[2] = {0, 1};
    const int64x2_t lane = vld1q_s64(lanes);
    return vandq_u64(vcgeq_s64(lane, vdupq_n_s64(from)),
                     vcltq_s64(lane, vdupq_n_s64(to)));
  }
  static DM dgt(D a, D b) { return vcgtq_f64(a, b); }
  static DM deq(D a, D b) { return vceqq_f64(a, b); }
  static DM dfinite(D v) {
    return vcltq_f64(vabsq_f64(v), vdupq_n_f64(__builtin_inf()));
  }
  static DM dand(DM a, DM b) { return vandq_u64(a, b); }
  static DM dor(DM a, DM b) { return vorrq_u64(a, b); }
  static DM dall() { return vdupq_n_u64(~uint64_t{0}); }
  static bool dall_set(DM m) {
    return vminvq_u32(vreinterpretq_u32_u64(m)) == ~uint32_t{0};
  }
  static D dkeep(DM m, D v) {
    return vreinterpretq_f64_u64(vandq_u64(vreinterpretq_u64_f64(v), m));
  }
  static D dselect(DM m, D if_not, D if_set) {
    return vbslq_f64(m, if_set, if_not);
  }
  static D dmax(D a, D b) { return vmaxq_f64(a, b); }
  static D dmin(D a, D b) { return vminq_f64(a, b); }
  static double dmax_lanes(D v) { return vmaxvq_f64(v); }
  static double dmin_lanes(D v) { return vminvq_f64(v); }
  static D dround(D v) { return vrndnq_f64(v); }  // ties to even
  static void to_floats(D v, float* out) { vst1_f32(out, vcvt_f32_f64(v)); }
  static unsigned same_floats(D a, D b) {
    const uint32x2_t same = vceq_f32(vcvt_f32_f64(a), vcvt_f32_f64(b));
    return (vget_lane_u32(same, 0) & 1u) | (vget_lane_u32(same, 1) & 2u);
  }
};

}  // namespace

extern const RayFunctions neon = simd::ray_functions<V>("neon");

}  // namespace pupil::arm
