// The per-ray functions for AVX2: the shared vector code instantiated with
// 256-bit vectors. Built with -mavx2 (never -mfma) and without contraction;
// everything compiled here has internal linkage but the table.
#include <immintrin.h>

#include "simd/ray_functions_simd.h"
#include "simd/x86/avx_shared.h"

namespace pupil::x86 {
namespace {

struct V : simd::Shape<256, 4, 8, 4> {
  using F = __m256;
  using I = __m256i;
  using M = __m256;  // lane masks are vectors here
  using D = __m256d;
  using DM = __m256d;
  using Index = PairIndex<kFloats>;
  static F set1(float v) { return _mm256_set1_ps(v); }
  static I iset1(int32_t v) { return _mm256_set1_epi32(v); }
  static I iota() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
  static I iadd(I a, I b) { return _mm256_add_epi32(a, b); }
  static I imin(I a, I b) { return _mm256_min_epi32(a, b); }
  static I imullo(I a, I b) { return _mm256_mullo_epi32(a, b); }
  static F to_float(I v) { return _mm256_cvtepi32_ps(v); }
  static I truncate(F v) { return _mm256_cvttps_epi32(v); }
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
  static Index index(I v) {
    Index index;
    _mm256_store_si256(reinterpret_cast<__m256i*>(index.at), v);
    return index;
  }
  static void pairs(const float* image_x, const float* image_y,
                    const Index& index, F& left_x, F& right_x, F& left_y,
                    F& right_y) {
    pairs8(image_x, image_y, index.at, left_x, right_x, left_y, right_y);
  }
  static void store_widened(double* out, F v, int64_t lanes) {
    const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
    const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
    if (lanes >= kFloats) {
      _mm256_storeu_pd(out, lo);
      _mm256_storeu_pd(out + 4, hi);
      return;
    }
    dstore_lanes(out, dlanes(0, lanes), lo);
    dstore_lanes(out + 4, dlanes(0, lanes - 4), hi);
  }

  static D dset1(double v) { return _mm256_set1_pd(v); }
  static D dzero() { return _mm256_setzero_pd(); }
  static D dindex() { return _mm256_setr_pd(0, 1, 2, 3); }
  static D dload(const double* p) { return _mm256_loadu_pd(p); }
  static void dstore(double* p, D v) { _mm256_storeu_pd(p, v); }
  static D dload_lanes(const double* p, DM m) {
    return _mm256_maskload_pd(p, _mm256_castpd_si256(m));
  }
  static void dstore_lanes(double* p, DM m, D v) {
    _mm256_maskstore_pd(p, _mm256_castpd_si256(m), v);
  }
  static DM dlanes(int64_t from, int64_t to) {
    const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
    return _mm256_castsi256_pd(
        _mm256_and_si256(_mm256_cmpgt_epi64(lane, _mm256_set1_epi64x(from - 1)),
                         _mm256_cmpgt_epi64(_mm256_set1_epi64x(to), lane)));
  }
  static DM dgt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
  static DM deq(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  static DM dfinite(D v) {
    const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), v);
    return _mm256_cmp_pd(magnitude, _mm256_set1_pd(__builtin_inf()),
                         _CMP_LT_OQ);
  }
  static DM dand(DM a, DM b) { return _mm256_and_pd(a, b); }
  static DM dor(DM a, DM b) { return _mm256_or_pd(a, b); }
  static DM dall() { return _mm256_castsi256_pd(_mm256_set1_epi64x(-1)); }
  static bool dall_set(DM m) { return _mm256_movemask_pd(m) == 0xF; }
  static D dkeep(DM m, D v) { return _mm256_and_pd(v, m); }
  static D dselect(DM m, D if_not, D if_set) {
    return _mm256_blendv_pd(if_not, if_set, m);
  }
  static D dmax(D a, D b) { return _mm256_max_pd(a, b); }
  static D dmin(D a, D b) { return _mm256_min_pd(a, b); }
  static double dmax_lanes(D v) { return max_of(v); }
  static double dmin_lanes(D v) { return min_of(v); }
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
};

}  // namespace

extern const RayFunctions avx2 = simd::ray_functions<V>("avx2");

}  // namespace pupil::x86
