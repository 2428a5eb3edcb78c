// The per-ray kernels for AVX2: the shared vector code instantiated with
// 256-bit vectors. Built with -mavx2 (never -mfma) and without contraction;
// everything compiled here lives in this file's unnamed namespace.
#include "kernels_simd.h"

namespace pupil::avx2 {
namespace {

struct V : Shape<256, 4, 8, 4> {
  using I = __m256i;
  static I iota() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
  using F = __m256;
  using M = __m256;  // lane masks are vectors here
  static M ge(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
  static M le(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
  static M igt(I a, I b) {
    return _mm256_castsi256_ps(_mm256_cmpgt_epi32(a, b));
  }
  static M both(M a, M b) { return _mm256_and_ps(a, b); }
  static M first_lanes(int32_t count) {
    return _mm256_castsi256_ps(_mm256_cmpgt_epi32(iset1(count), iota()));
  }
  static bool any(M m) { return _mm256_movemask_ps(m) != 0; }
  static F zero_unless(M m, F v) { return _mm256_and_ps(v, m); }
  static F select(M m, F if_not, F if_set) {
    return _mm256_blendv_ps(if_not, if_set, m);
  }

  // Pixel pairs are fetched with plain 64-bit loads, which beat a hardware
  // gather on many CPUs; the indices go through memory for them.
  struct Index {
    alignas(32) int32_t at[kFloats];
  };
  static Index index(I v) {
    Index index;
    _mm256_store_si256(reinterpret_cast<__m256i*>(index.at), v);
    return index;
  }
  // Left and right pixels of the pairs at index[0..7] in both images. Each
  // index serves both images, and two pairs come in one 128-bit register:
  // samples 0-1 and 4-5 share one, 2-3 and 6-7 the other, so that one
  // shuffle per result leaves the samples in order.
  static void pairs(const float* image_x, const float* image_y,
                    const Index& index, F& left_x, F& right_x, F& left_y,
                    F& right_y) {
    auto two_floats = [](const float* at) {
      return reinterpret_cast<const __m64*>(at);
    };
    __m128 qx[4], qy[4];
    for (int h = 0; h < 4; ++h) {
      const int64_t i0 = index.at[2 * h], i1 = index.at[2 * h + 1];
      const __m128 zero = _mm_setzero_ps();
      qx[h] = _mm_loadh_pi(_mm_loadl_pi(zero, two_floats(image_x + i0)),
                           two_floats(image_x + i1));
      qy[h] = _mm_loadh_pi(_mm_loadl_pi(zero, two_floats(image_y + i0)),
                           two_floats(image_y + i1));
    }
    const __m256 ax = _mm256_set_m128(qx[2], qx[0]);
    const __m256 bx = _mm256_set_m128(qx[3], qx[1]);
    const __m256 ay = _mm256_set_m128(qy[2], qy[0]);
    const __m256 by = _mm256_set_m128(qy[3], qy[1]);
    // Per 128-bit half: (a0 a2 b0 b2) and (a1 a3 b1 b3).
    left_x = _mm256_shuffle_ps(ax, bx, 0x88);
    right_x = _mm256_shuffle_ps(ax, bx, 0xDD);
    left_y = _mm256_shuffle_ps(ay, by, 0x88);
    right_y = _mm256_shuffle_ps(ay, by, 0xDD);
  }
  template <class Pixels>
  static void fetch(const float* image_x, const float* image_y,
                    const Index& top, const Index& bottom, M /*inside*/,
                    Pixels& p) {
    // Outside lanes point at pixel pair (0, 1), which exists.
    pairs(image_x, image_y, top, p.top_left_x, p.top_right_x, p.top_left_y,
          p.top_right_y);
    pairs(image_x, image_y, bottom, p.bottom_left_x, p.bottom_right_x,
          p.bottom_left_y, p.bottom_right_y);
  }
  static void store_widened(double* out, F v, int64_t lanes) {
    const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
    const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
    if (lanes >= kFloats) {
      _mm256_storeu_pd(out, lo);
      _mm256_storeu_pd(out + 4, hi);
      return;
    }
    _mm256_maskstore_pd(out, dlanes_i(0, lanes), lo);
    _mm256_maskstore_pd(out + 4, dlanes_i(0, lanes - 4), hi);
  }

  using D = __m256d;
  using DM = __m256d;

#define MM(op) _mm256_##op
#include "simd_ops.h"
#undef MM

  static D dindex() { return _mm256_setr_pd(0, 1, 2, 3); }
  static DM dgt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
  static DM deq(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  static D dmax(D a, D b) { return _mm256_max_pd(a, b); }
  static D dmin(D a, D b) { return _mm256_min_pd(a, b); }
  static double dmax_lanes(D v) {
    const __m128d m =
        _mm_max_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_max_sd(m, _mm_unpackhi_pd(m, m)));
  }
  static double dmin_lanes(D v) {
    const __m128d m =
        _mm_min_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_min_sd(m, _mm_unpackhi_pd(m, m)));
  }
  static D dround(D v) {
    return _mm256_round_pd(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  }
  static void to_floats(D v, float* out) {
    _mm_storeu_ps(out, _mm256_cvtpd_ps(v));
  }
  static unsigned same_floats(D a, D b) {
    return static_cast<unsigned>(
        _mm_movemask_ps(_mm_cmpeq_ps(_mm256_cvtpd_ps(a), _mm256_cvtpd_ps(b))));
  }
  static DM dfinite(D v) {
    const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), v);
    return _mm256_cmp_pd(magnitude, _mm256_set1_pd(__builtin_inf()),
                         _CMP_LT_OQ);
  }
  static D dkeep(DM m, D v) { return _mm256_and_pd(v, m); }
  static D dselect(DM m, D if_not, D if_set) {
    return _mm256_blendv_pd(if_not, if_set, m);
  }
  static D dadd_where(DM m, D sum, D term) {
    return _mm256_blendv_pd(sum, _mm256_add_pd(term, sum), m);
  }
  static DM dand(DM a, DM b) { return _mm256_and_pd(a, b); }
  static DM dor(DM a, DM b) { return _mm256_or_pd(a, b); }
  static DM dnone() { return _mm256_setzero_pd(); }
  static DM dall() { return _mm256_castsi256_pd(_mm256_set1_epi64x(-1)); }
  static bool dall_set(DM m) { return _mm256_movemask_pd(m) == 0xF; }
  static __m256i dlanes_i(int64_t from, int64_t to) {
    const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
    return _mm256_and_si256(
        _mm256_cmpgt_epi64(lane, _mm256_set1_epi64x(from - 1)),
        _mm256_cmpgt_epi64(_mm256_set1_epi64x(to), lane));
  }
  static DM dlanes(int64_t from, int64_t to) {
    return _mm256_castsi256_pd(dlanes_i(from, to));
  }
  static D dload_lanes(const double* p, DM m) {
    return _mm256_maskload_pd(p, _mm256_castpd_si256(m));
  }
  static void dstore_lanes(double* p, DM m, D v) {
    _mm256_maskstore_pd(p, _mm256_castpd_si256(m), v);
  }
};

#include "profile_peak_simd.h"
#include "ray_direction_simd.h"
#include "ray_profile_simd.h"

}  // namespace

// Data, not code: dispatch reads it on any CPU.
extern const RayKernels kernels = {"avx2",
                                   &ray_directions_simd,
                                   &sample_ray_profile_simd,
                                   &filter_profile_simd,
                                   &find_profile_peak_simd,
                                   &filter_profile_peak_simd};

}  // namespace pupil::avx2
