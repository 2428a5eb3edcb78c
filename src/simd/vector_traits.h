// The contract between the shared vector code (the *_simd.h headers beside
// this one) and one instruction set's traits type V: every member V must
// provide, checked at compile time by vector_traits_complete<V>(). A set's
// translation unit defines V in its own unnamed namespace, checks it, and
// instantiates the shared templates with it.
//
// The vector types are the compiler's, so that +, - and * (and unary - on
// D) are the lane-wise operations, each rounded on its own: contraction is
// off wherever this code is compiled.
#ifndef PUPIL_RADIAL_SIMD_VECTOR_TRAITS_H
#define PUPIL_RADIAL_SIMD_VECTOR_TRAITS_H

#include <cstdint>
#include <type_traits>

namespace pupil::simd {

// Lanes per vector for a set's width in bits, and its tuning: sampling
// computes the geometry of `interleave` blocks of samples together, in
// chunks of `chunk` blocks; filtering sums `group` vectors of outputs at
// once.
template <int kBits, int interleave, int chunk, int group>
struct Shape {
  static constexpr int kFloats = kBits / 32;
  static constexpr int kDoubles = kBits / 64;
  static constexpr int kInterleave = interleave;
  static constexpr int kBlocksPerChunk = chunk;
  static constexpr int kGroup = group;
};

// Every member, with what it must do. Masks M (float and int32 lanes) and
// DM (double lanes) may be vectors or mask registers; comparisons are
// ordered, so a NaN lane compares false. (GCC notes that a vector type's
// alignment attribute is not part of a template argument; for a check of
// identity that is as it should be.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
template <class V>
constexpr bool vector_traits_complete() {
  using F = typename V::F;          // kFloats floats
  using I = typename V::I;          // kFloats int32
  using M = typename V::M;          // a mask of kFloats lanes
  using D = typename V::D;          // kDoubles doubles
  using DM = typename V::DM;        // a mask of kDoubles lanes
  using Index = typename V::Index;  // a block's pixel-pair indices, stored
  using std::is_same_v;
  const float* fp = nullptr;
  const double* dp = nullptr;
  double* out = nullptr;
  F f{};
  I i{};
  M m{};
  D d{};
  DM dm{};

  // Shape.
  static_assert(V::kFloats == 2 * V::kDoubles, "kFloats, kDoubles");
  static_assert(V::kInterleave >= 1 && V::kBlocksPerChunk >= V::kInterleave,
                "kInterleave, kBlocksPerChunk");
  static_assert(V::kGroup >= 1 && (V::kGroup & (V::kGroup - 1)) == 0,
                "kGroup: a power of two");
  static_assert(sizeof(Index) >= sizeof(int32_t) * V::kFloats,
                "Index: an index per lane");

  // Float and int32 lanes, for sampling.
  static_assert(is_same_v<decltype(f * f + f - f), F> &&
                    is_same_v<decltype(V::set1(0.0f)), F>,
                "F arithmetic; set1(float) broadcasts");
  static_assert(
      is_same_v<decltype(V::iset1(0)), I> && is_same_v<decltype(V::iota()), I>,
      "iset1(int32_t) broadcasts; iota() holds 0, 1, ...");
  static_assert(is_same_v<decltype(V::iadd(i, i)), I> &&
                    is_same_v<decltype(V::imin(i, i)), I> &&
                    is_same_v<decltype(V::imullo(i, i)), I>,
                "iadd, imin, imullo (the products' low 32 bits) of (I, I)");
  static_assert(is_same_v<decltype(V::to_float(i)), F> &&
                    is_same_v<decltype(V::truncate(f)), I>,
                "to_float(I) rounds to nearest, truncate(F) toward zero");
  static_assert(is_same_v<decltype(V::ge(f, f)), M> &&
                    is_same_v<decltype(V::le(f, f)), M> &&
                    is_same_v<decltype(V::igt(i, i)), M>,
                "ge, le of (F, F) and igt of (I, I): M");
  static_assert(is_same_v<decltype(V::both(m, m)), M> &&
                    is_same_v<decltype(V::first_lanes(0)), M> &&
                    is_same_v<decltype(V::any(m)), bool>,
                "both(M, M); first_lanes(count): the lanes below count; "
                "any(M): bool");
  static_assert(is_same_v<decltype(V::zero_unless(m, f)), F> &&
                    is_same_v<decltype(V::select(m, f, f)), F>,
                "zero_unless(M, F): +0.0 where not set; "
                "select(M, if_not, if_set)");
  static_assert(
      is_same_v<decltype(V::index(i)), Index> &&
          is_same_v<decltype(V::pairs(fp, fp, V::index(i), f, f, f, f)), void>,
      "index(I) stores a block's indices; pairs(grad_x, grad_y, Index, "
      "left_x, right_x, left_y, right_y): each lane's pixel and its right "
      "neighbour");
  static_assert(is_same_v<decltype(V::store_widened(out, f, int64_t{})), void>,
                "store_widened(double*, F, lanes): the first lanes, widened; "
                "nothing past them written");

  // Double lanes, for filtering, the peak and ray directions.
  static_assert(is_same_v<decltype(d * d + d - d), D> &&
                    is_same_v<decltype(-d), D> &&
                    is_same_v<decltype(V::dset1(0.0)), D> &&
                    is_same_v<decltype(V::dzero()), D> &&
                    is_same_v<decltype(V::dindex()), D>,
                "D arithmetic and negation; dset1(double) broadcasts; "
                "dzero(): +0.0; dindex(): 0.0, 1.0, ...");
  static_assert(is_same_v<decltype(V::dload(dp)), D> &&
                    is_same_v<decltype(V::dstore(out, d)), void>,
                "dload(const double*), dstore(double*, D): unaligned");
  static_assert(is_same_v<decltype(V::dload_lanes(dp, dm)), D> &&
                    is_same_v<decltype(V::dstore_lanes(out, dm, d)), void> &&
                    is_same_v<decltype(V::dlanes(int64_t{}, int64_t{})), DM>,
                "dload_lanes(p, DM): 0.0 and no memory touched where not "
                "set; dstore_lanes(p, DM, D): only the set lanes written; "
                "dlanes(from, to): the lanes in [from, to)");
  static_assert(is_same_v<decltype(V::dgt(d, d)), DM> &&
                    is_same_v<decltype(V::deq(d, d)), DM> &&
                    is_same_v<decltype(V::dfinite(d)), DM>,
                "dgt, deq of (D, D), dfinite(D): DM");
  static_assert(is_same_v<decltype(V::dand(dm, dm)), DM> &&
                    is_same_v<decltype(V::dor(dm, dm)), DM> &&
                    is_same_v<decltype(V::dall()), DM> &&
                    is_same_v<decltype(V::dall_set(dm)), bool>,
                "dand, dor of (DM, DM); dall(): every lane; dall_set(DM)");
  static_assert(is_same_v<decltype(V::dkeep(dm, d)), D> &&
                    is_same_v<decltype(V::dselect(dm, d, d)), D>,
                "dkeep(DM, D): +0.0 where not set; "
                "dselect(DM, if_not, if_set)");
  static_assert(is_same_v<decltype(V::dmax(d, d)), D> &&
                    is_same_v<decltype(V::dmin(d, d)), D> &&
                    is_same_v<decltype(V::dmax_lanes(d)), double> &&
                    is_same_v<decltype(V::dmin_lanes(d)), double>,
                "dmax, dmin of (D, D), lane-wise, inputs never NaN; "
                "dmax_lanes, dmin_lanes(D): across the lanes");
  static_assert(is_same_v<decltype(V::dround(d)), D> &&
                    is_same_v<decltype(V::to_floats(d, nullptr)), void> &&
                    is_same_v<decltype(V::same_floats(d, d)), unsigned>,
                "dround(D): to the nearest integer, ties to even; "
                "to_floats(D, float*): the lanes as floats, stored; "
                "same_floats(D, D): bit i where lane i of both rounds to the "
                "same float");
  return true;
}
#pragma GCC diagnostic pop

}  // namespace pupil::simd

#endif
