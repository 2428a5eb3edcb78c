// Pixel pairs fetched with plain 64-bit loads, eight samples at a time in
// 256-bit registers: on the CPUs measured this beats a hardware gather.
// Included inside each instruction set's traits (AVX2 and later), after I,
// so that each compiles its own copy; the traits provide pairs(), which
// puts the pairs8() of its lanes together.

// A block's pair indices go through memory for the loads.
struct Index {
  alignas(sizeof(I)) int32_t at[kFloats];
};
static Index index(I v) {
  Index index;
  *reinterpret_cast<I*>(index.at) = v;  // the vector types may alias
  return index;
}

// The left and right pixels of the pairs that start at index[0..7], in
// both images. Two pairs come in one 128-bit register: samples 0-1 and 4-5
// share one, 2-3 and 6-7 the other, so that one shuffle per result leaves
// the samples in order.
static void pairs8(const float* image_x, const float* image_y,
                   const int32_t* index, __m256& left_x, __m256& right_x,
                   __m256& left_y, __m256& right_y) {
  auto two_floats = [](const float* at) {
    return reinterpret_cast<const __m64*>(at);
  };
  __m128 qx[4], qy[4];
  for (int h = 0; h < 4; ++h) {
    const int64_t i0 = index[2 * h], i1 = index[2 * h + 1];
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
