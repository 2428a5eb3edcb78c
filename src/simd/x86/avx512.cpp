// The per-ray functions for AVX-512: the shared vector code instantiated
// with 512-bit vectors and mask registers. Built with -mavx512f alone and
// without contraction (AVX-512F has fused instructions of its own: the
// binary test checks that none is used); everything compiled here has
// internal linkage but the table.
#include <immintrin.h>

#include "simd/ray_functions_simd.h"
#include "simd/x86/avx_shared.h"

namespace pupil::x86 {
namespace {

struct V : simd::Shape<512, 4, 4, 2> {
  using F = __m512;
  using I = __m512i;
  using M = __mmask16;  // lane masks in mask registers
  using D = __m512d;
  using DM = __mmask8;
  using Index = PairIndex<kFloats>;
  static F set1(float v) { return _mm512_set1_ps(v); }
  static I iset1(int32_t v) { return _mm512_set1_epi32(v); }
  static I iota() {
    return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
                             15);
  }
  static I iadd(I a, I b) { return _mm512_add_epi32(a, b); }
  static I imin(I a, I b) { return _mm512_min_epi32(a, b); }
  static I imullo(I a, I b) { return _mm512_mullo_epi32(a, b); }
  static F to_float(I v) { return _mm512_cvtepi32_ps(v); }
  static I truncate(F v) { return _mm512_cvttps_epi32(v); }
  static M ge(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
  static M le(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ); }
  static M igt(I a, I b) { return _mm512_cmpgt_epi32_mask(a, b); }
  static M both(M a, M b) { return static_cast<M>(a & b); }
  static M first_lanes(int32_t count) {
    return count >= kFloats ? M{0xFFFF} : static_cast<M>((1u << count) - 1u);
  }
  static bool any(M m) { return m != 0; }
  static F zero_unless(M m, F v) { return _mm512_maskz_mov_ps(m, v); }
  static F select(M m, F if_not, F if_set) {
    return _mm512_mask_blend_ps(m, if_not, if_set);
  }
  static Index index(I v) {
    Index index;
    _mm512_store_si512(index.at, v);
    return index;
  }
  static F join(__m256 low, __m256 high) {
    const __m512d both = _mm512_insertf64x4(
        _mm512_insertf64x4(_mm512_setzero_pd(), _mm256_castps_pd(low), 0),
        _mm256_castps_pd(high), 1);
    return _mm512_castpd_ps(both);
  }
  static void pairs(const float* image_x, const float* image_y,
                    const Index& index, F& left_x, F& right_x, F& left_y,
                    F& right_y) {
    __m256 lx[2], rx[2], ly[2], ry[2];
    for (int h = 0; h < 2; ++h)
      pairs8(image_x, image_y, index.at + 8 * h, lx[h], rx[h], ly[h], ry[h]);
    left_x = join(lx[0], lx[1]);
    right_x = join(rx[0], rx[1]);
    left_y = join(ly[0], ly[1]);
    right_y = join(ry[0], ry[1]);
  }
  static void store_widened(double* out, F v, int64_t lanes) {
    const __m512d lo = _mm512_cvtps_pd(_mm512_castps512_ps256(v));
    const __m512d hi = _mm512_cvtps_pd(
        _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)));
    // Masked stores touch only the lanes that exist.
    const M live =
        first_lanes(static_cast<int32_t>(lanes < kFloats ? lanes : kFloats));
    _mm512_mask_storeu_pd(out, static_cast<__mmask8>(live), lo);
    _mm512_mask_storeu_pd(out + 8, static_cast<__mmask8>(live >> 8), hi);
  }

  static D dset1(double v) { return _mm512_set1_pd(v); }
  static D dzero() { return _mm512_setzero_pd(); }
  static D dindex() { return _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7); }
  static D dload(const double* p) { return _mm512_loadu_pd(p); }
  static void dstore(double* p, D v) { _mm512_storeu_pd(p, v); }
  static D dload_lanes(const double* p, DM m) {
    return _mm512_maskz_loadu_pd(m, p);
  }
  static void dstore_lanes(double* p, DM m, D v) {
    _mm512_mask_storeu_pd(p, m, v);
  }
  static DM dlanes(int64_t from, int64_t to) {
    if (to <= from) return 0;
    return static_cast<DM>(((1u << to) - 1u) & ~((1u << from) - 1u));
  }
  static DM dgt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
  static DM deq(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
  static DM dfinite(D v) {
    return _mm512_cmp_pd_mask(_mm512_abs_pd(v), _mm512_set1_pd(__builtin_inf()),
                              _CMP_LT_OQ);
  }
  static DM dand(DM a, DM b) { return static_cast<DM>(a & b); }
  static DM dor(DM a, DM b) { return static_cast<DM>(a | b); }
  static DM dall() { return 0xFF; }
  static bool dall_set(DM m) { return m == 0xFF; }
  static D dkeep(DM m, D v) { return _mm512_maskz_mov_pd(m, v); }
  static D dselect(DM m, D if_not, D if_set) {
    return _mm512_mask_blend_pd(m, if_not, if_set);
  }
  // The masked forms: g++ 12's plain ones start from an undefined vector
  // and warn about it.
  static D dmax(D a, D b) { return _mm512_mask_max_pd(a, 0xFF, a, b); }
  static D dmin(D a, D b) { return _mm512_mask_min_pd(a, 0xFF, a, b); }
  static __m256d low_half(D v) {
    return _mm512_mask_extractf64x4_pd(_mm256_setzero_pd(), 0xF, v, 0);
  }
  static __m256d high_half(D v) {
    return _mm512_mask_extractf64x4_pd(_mm256_setzero_pd(), 0xF, v, 1);
  }
  static double dmax_lanes(D v) {
    return max_of(_mm256_max_pd(low_half(v), high_half(v)));
  }
  static double dmin_lanes(D v) {
    return min_of(_mm256_min_pd(low_half(v), high_half(v)));
  }
  static D dround(D v) {
    return _mm512_roundscale_pd(v,
                                _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  }
  static void to_floats(D v, float* out) {
    _mm256_storeu_ps(out, _mm512_cvtpd_ps(v));
  }
  static unsigned same_floats(D a, D b) {
    return static_cast<unsigned>(_mm256_movemask_ps(
        _mm256_cmp_ps(_mm512_cvtpd_ps(a), _mm512_cvtpd_ps(b), _CMP_EQ_OQ)));
  }
};

}  // namespace

extern const RayFunctions avx512 = simd::ray_functions<V>("avx512");

}  // namespace pupil::x86
