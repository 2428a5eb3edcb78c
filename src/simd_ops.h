// Operations spelled alike in every instruction set but for the intrinsics'
// prefix: included inside each set's traits, where MM(op) names that set's
// intrinsic, F, I and D its float, int32 and double vectors; and the
// largest and smallest of a 256-bit vector's lanes, which both sets have.
static F set1(float v) { return MM(set1_ps)(v); }
static I iset1(int32_t v) { return MM(set1_epi32)(v); }
static I iadd(I a, I b) { return MM(add_epi32)(a, b); }
static I imin(I a, I b) { return MM(min_epi32)(a, b); }
static I imullo(I a, I b) { return MM(mullo_epi32)(a, b); }
static F to_float(I v) { return MM(cvtepi32_ps)(v); }
static I truncate(F v) { return MM(cvttps_epi32)(v); }
static D dset1(double v) { return MM(set1_pd)(v); }
static D dzero() { return MM(setzero_pd)(); }
static D dload(const double* p) { return MM(loadu_pd)(p); }
static void dstore(double* p, D v) { MM(storeu_pd)(p, v); }
static double max_of(__m256d v) {
  const __m128d m =
      _mm_max_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
  return _mm_cvtsd_f64(_mm_max_sd(m, _mm_unpackhi_pd(m, m)));
}
static double min_of(__m256d v) {
  const __m128d m =
      _mm_min_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
  return _mm_cvtsd_f64(_mm_min_sd(m, _mm_unpackhi_pd(m, m)));
}
