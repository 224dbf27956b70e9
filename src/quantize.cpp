#include "quantize.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include <simsimd/simsimd.h>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vendrel {

namespace {

// The kernel's squared distance narrowed to float32: the value every comparison and
// every score sum uses, so that encoding, compute_similarity and the DistanceTable agree
// bit for bit.
float squared_distance(const float* a, const float* b, size_t count) {
  simsimd_distance_t distance = 0.0;
  simsimd_l2sq_f32(a, b, count, &distance);
  return static_cast<float>(distance);
}

std::vector<std::vector<float>> random_codebook(Lcg& generator) {
  std::vector<std::vector<float>> centroids(kCentroidsPerSubspace, std::vector<float>(kSubDim));
  for (auto& centroid : centroids) {
    for (float& component : centroid) component = generator.next();
    normalize_unit(centroid);
  }
  return centroids;
}

// Slice [start, end) of a training vector. A vector shorter than the first one (only a
// zero-length vector stored before the dimension was fixed) reads as zeros past its
// end instead of being read out of bounds.
std::vector<float> training_slice(std::span<const float> vector, size_t start, size_t end) {
  std::vector<float> slice(end - start, 0.0f);
  const size_t available_end = std::min(end, vector.size());
  if (available_end > start) std::copy(vector.begin() + start, vector.begin() + available_end, slice.begin());
  return slice;
}

std::vector<std::vector<float>> sampled_codebook(std::span<const std::span<const float>> training_vectors,
                                                 size_t start, size_t end) {
  const size_t count = training_vectors.size();
  const size_t step = std::max<size_t>(1, count / kCentroidsPerSubspace);
  std::vector<std::vector<float>> centroids;
  centroids.reserve(kCentroidsPerSubspace);
  for (size_t k = 0; k < count && centroids.size() < kCentroidsPerSubspace; k += step) {
    centroids.push_back(training_slice(training_vectors[k], start, end));
  }
  while (centroids.size() < kCentroidsPerSubspace) centroids.emplace_back(kSubDim, 0.0f);
  for (auto& centroid : centroids) normalize_unit(centroid);
  return centroids;
}

// ---------------------------------------------------------------------------------------
// One-pass encoding. A block of W centroids sits in W vector lanes; each lane computes
// its centroid's squared distance with exactly the operations of the scalar kernel it
// mirrors (differences rounded to float32, squares rounded to float32, then the sums in
// that kernel's order), so every lane's result is that kernel's result. The nearest
// centroid is tracked per lane with a strict "<" (a NaN compares false and never wins),
// then reduced across lanes to the smallest distance at the lowest index.

constexpr size_t kLanesPerSubspace = kSubDim * kCentroidsPerSubspace;
// Centroids sit in groups of 16; a group's 12 components follow one another, 16 floats
// each, so a subspace (and the whole codebook) is read front to back as one stream.
constexpr size_t kLaneGroup = 16;

// Offset, inside a subspace's lanes, of component j of centroid c; the centroids
// c .. c + W - 1 (W dividing 16, c a multiple of W) follow it contiguously.
// The norm the 16-bit screening scales slices and the largest centroid to: 23170^2 <
// 2^31, so no dot product of two such vectors leaves 32 bits.
constexpr double kShortNorm = 23170.0;

constexpr size_t lane_offset(size_t centroid, size_t j) {
  return (centroid / kLaneGroup) * (kLaneGroup * kSubDim) + j * kLaneGroup + centroid % kLaneGroup;
}
// Vectors encoded together, subspace by subspace, by encode_batch.
constexpr size_t kEncodeTile = 16;

using F32x4 = float __attribute__((vector_size(16)));
using I32x4 = int32_t __attribute__((vector_size(16)));
using F32x8 = float __attribute__((vector_size(32)));
using I32x8 = int32_t __attribute__((vector_size(32)));
using F64x8 = double __attribute__((vector_size(64)));
using F32x16 = float __attribute__((vector_size(64)));
using I32x16 = int32_t __attribute__((vector_size(64)));

// simsimd_l2sq_f32_serial: a float32 running sum from 0 in component order.
template <typename F>
inline __attribute__((always_inline)) void serial_order_sum(const F* squares, size_t n, F& total) {
  total = F{};
  for (size_t j = 0; j < n; ++j) total = total + squares[j];
}

// simsimd_l2sq_f32_haswell: components 0-7 (when there are 8) in one 8-lane register,
// reduced in double as ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7)); then the
// remaining components added one by one in double. The caller narrows to float32.
inline __attribute__((always_inline)) void haswell_order_sum(const F32x8* squares, size_t n, F32x8& narrowed) {
  using D = F64x8;
  D total = D{};
  size_t j = 0;
  if (n >= 8) {
    D pair[4];
    for (size_t k = 0; k < 4; ++k) {
      pair[k] = __builtin_convertvector(squares[k], D) + __builtin_convertvector(squares[k + 4], D);
    }
    total = (pair[0] + pair[2]) + (pair[1] + pair[3]);
    j = 8;
  }
  for (; j < n; ++j) total = total + __builtin_convertvector(squares[j], D);
  narrowed = __builtin_convertvector(total, F32x8);
}

// simsimd_l2sq_f32_skylake: all 12 components in one 16-lane register (zeros past the
// slice), reduced as ((s0 + s8) + s4) ... per quarter, then ((r0 + r1) + (r2 + r3)).
template <typename F>
inline __attribute__((always_inline)) void skylake_order_sum(const F* squares, F& total) {
  F quarter[4];
  for (size_t k = 0; k < 4; ++k) quarter[k] = (squares[k] + squares[k + 8]) + squares[k + 4];
  total = (quarter[0] + quarter[1]) + (quarter[2] + quarter[3]);
}

enum class SumOrder { kSerial, kHaswell, kSkylake };

template <typename F, typename I, SumOrder kOrder>
inline __attribute__((always_inline)) uint8_t nearest_centroid_impl(const float* __restrict lanes,
                                                                   const float* __restrict slice, size_t n) {
  constexpr size_t kWidth = sizeof(F) / sizeof(float);
  F best = F{} + FLT_MAX;
  I best_index = I{};
  I index;
  for (size_t k = 0; k < kWidth; ++k) index[k] = static_cast<int32_t>(k);
  for (size_t block = 0; block < kCentroidsPerSubspace; block += kWidth) {
    F squares[kSubDim];
#pragma GCC unroll 12
    for (size_t j = 0; j < kSubDim; ++j) {
      if (j < n) {
        F centroid;
        std::memcpy(&centroid, lanes + lane_offset(block, j), sizeof(F));
        const F difference = slice[j] - centroid;
        squares[j] = difference * difference;
      } else {
        squares[j] = F{};
      }
    }
    F distance;
    if constexpr (kOrder == SumOrder::kSerial) serial_order_sum(squares, n, distance);
    if constexpr (kOrder == SumOrder::kHaswell) {
      static_assert(kWidth == 8, "the Haswell order is written for 8 lanes");
      haswell_order_sum(squares, n, distance);
    }
    if constexpr (kOrder == SumOrder::kSkylake) skylake_order_sum(squares, distance);
    const auto closer = distance < best;
    best = closer ? distance : best;
    best_index = closer ? index : best_index;
    index += static_cast<int32_t>(kWidth);
  }
  // A lane's best is a non-negative float (FLT_MAX when nothing beat it, with index 0),
  // so its bits order like the value: the smallest (bits, index) key is the smallest
  // distance at the lowest index, found without branches.
  uint64_t chosen = ~uint64_t{0};
  for (size_t k = 0; k < kWidth; ++k) {
    uint32_t bits;
    const float lane_best = best[k];
    std::memcpy(&bits, &lane_best, sizeof bits);
    const uint64_t key = (uint64_t{bits} << 32) | static_cast<uint32_t>(best_index[k]);
    chosen = key < chosen ? key : chosen;
  }
  return static_cast<uint8_t>(chosen);
}

// The slice length is a constant in the common full-width case, so the component loop
// unrolls without tests.
template <typename F, typename I, SumOrder kOrder>
inline __attribute__((always_inline)) uint8_t nearest_centroid(const float* lanes, const float* slice, size_t n) {
  if (n == kSubDim) return nearest_centroid_impl<F, I, kOrder>(lanes, slice, kSubDim);
  return nearest_centroid_impl<F, I, kOrder>(lanes, slice, n);
}

// One subspace's centroids as the kernels read them.
struct SubspaceLanes {
  const float* components;     // component j of centroid c at lane_offset(c, j)
  const float* squared_norms;  // per centroid, float32
  float norm_bound;            // >= every centroid's norm; negative: not finite
  const int16_t* short_pairs;  // the centroids in 16 bits (see short_pair_offset), or null
  double short_scale;          // 16-bit component = round(component * short_scale)
};

using NearestCentroid = uint8_t (*)(const SubspaceLanes& subspace, const float* slice, size_t n);

uint8_t nearest_portable(const SubspaceLanes& subspace, const float* slice, size_t n) {
  return nearest_centroid<F32x4, I32x4, SumOrder::kSerial>(subspace.components, slice, n);
}

#if defined(__GNUC__) && defined(__x86_64__)
#define VENDREL_X86_ENCODE_KERNELS 1
// No "fma" in these targets: -ffp-contract=off and the targets keep every product and
// sum rounded as written.
__attribute__((target("avx2"))) uint8_t nearest_avx2(const SubspaceLanes& subspace, const float* slice, size_t n) {
  return nearest_centroid<F32x8, I32x8, SumOrder::kHaswell>(subspace.components, slice, n);
}

__attribute__((target("avx512f"))) uint8_t nearest_avx512_exhaustive(const SubspaceLanes& subspace,
                                                                      const float* slice, size_t n) {
  return nearest_centroid<F32x16, I32x16, SumOrder::kSkylake>(subspace.components, slice, n);
}

// One centroid's distance with the Skylake kernel's operations and order, in scalars.
__attribute__((target("avx512f"))) float skylake_order_distance(const float* components, size_t centroid,
                                                                 const float* slice) {
  float squares[kSubDim];
  for (size_t j = 0; j < kSubDim; ++j) {
    const float difference = slice[j] - components[lane_offset(centroid, j)];
    squares[j] = difference * difference;
  }
  float quarter[4];
  for (size_t k = 0; k < 4; ++k) quarter[k] = (squares[k] + squares[k + 8]) + squares[k + 4];
  return (quarter[0] + quarter[1]) + (quarter[2] + quarter[3]);
}

// The centroid of the band (screened value <= threshold) that the exhaustive pass would
// choose. With one member (the usual case) that member is the nearest centroid and no
// exact distance is needed; otherwise the members are compared exactly, in index order
// with the strict rule.
__attribute__((target("avx512f"))) uint8_t nearest_in_band(const SubspaceLanes& subspace, const float* slice,
                                                            const float* screened, float threshold) {
  const __m512 limit = _mm512_set1_ps(threshold);
  // The band as a 256-bit set, built without branches.
  uint64_t admitted[kCentroidsPerSubspace / 64] = {};
  for (size_t block = 0; block < kCentroidsPerSubspace; block += 16) {
    const uint64_t mask = _mm512_cmp_ps_mask(_mm512_load_ps(screened + block), limit, _CMP_LE_OQ);
    admitted[block / 64] |= mask << (block % 64);
  }
  size_t members = 0;
  for (const uint64_t word : admitted) members += static_cast<size_t>(__builtin_popcountll(word));
  if (members == 1) {
    for (size_t word = 0; word < 4; ++word) {
      if (admitted[word] != 0) return static_cast<uint8_t>(word * 64 + static_cast<size_t>(__builtin_ctzll(admitted[word])));
    }
  }
  float best_distance = FLT_MAX;
  size_t best = 0;
  for (size_t word = 0; word < 4; ++word) {
    for (uint64_t rest = admitted[word]; rest != 0; rest &= rest - 1) {
      const size_t centroid = word * 64 + static_cast<size_t>(__builtin_ctzll(rest));
      const float distance = skylake_order_distance(subspace.components, centroid, slice);
      if (distance < best_distance) {
        best_distance = distance;
        best = centroid;
      }
    }
  }
  return static_cast<uint8_t>(best);
}

// The upper end of the band: the smallest screened value plus twice the margin, raised
// by more than half a float32 step before rounding so that it never rounds down.
float band_threshold(float smallest_screened, double margin) {
  const double band_end = double{smallest_screened} + 2.0 * margin;
  return static_cast<float>(band_end + std::fabs(band_end) * 0x1p-22 + 1e-37);
}

// Screening a(c) = |c|^2 - 2 x.c in float32 with fused multiply-adds. Against the real
// ||x - c||^2 - ||x||^2 it is off by less than 36 float32 rounding units (2^-24) times
// R^2, R = |x| + max |c|, and so is the exact kernel's distance minus ||x||^2; the
// margin taken on each side, R^2 / 65536 + 1e-30, is seven times that.
__attribute__((target("avx512f,fma"))) uint8_t nearest_avx512_screened(const SubspaceLanes& subspace,
                                                                        const float* slice, double slice_squares) {
  __m512 x[kSubDim];
  for (size_t j = 0; j < kSubDim; ++j) x[j] = _mm512_set1_ps(slice[j]);
  const __m512 two = _mm512_set1_ps(2.0f);
  alignas(64) float screened[kCentroidsPerSubspace];
  __m512 smallest = _mm512_set1_ps(FLT_MAX);
  for (size_t block = 0; block < kCentroidsPerSubspace; block += 16) {
    const float* group = subspace.components + lane_offset(block, 0);
    // Two partial sums shorten the dependency chain; the order is free here.
    __m512 even = _mm512_mul_ps(x[0], _mm512_loadu_ps(group));
    __m512 odd = _mm512_mul_ps(x[1], _mm512_loadu_ps(group + kLaneGroup));
    for (size_t j = 2; j < kSubDim; j += 2) {
      even = _mm512_fmadd_ps(x[j], _mm512_loadu_ps(group + j * kLaneGroup), even);
      odd = _mm512_fmadd_ps(x[j + 1], _mm512_loadu_ps(group + (j + 1) * kLaneGroup), odd);
    }
    const __m512 dot = _mm512_add_ps(even, odd);
    const __m512 value = _mm512_fnmadd_ps(two, dot, _mm512_loadu_ps(subspace.squared_norms + block));
    _mm512_store_ps(screened + block, value);
    smallest = _mm512_mask_min_ps(smallest, 0xFFFF, smallest, value);  // masked: no undefined source
  }
  alignas(64) float lane_smallest[16];
  _mm512_store_ps(lane_smallest, smallest);
  float smallest_value = lane_smallest[0];
  for (size_t k = 1; k < 16; ++k) smallest_value = std::min(smallest_value, lane_smallest[k]);
  const double reach = std::sqrt(slice_squares) * 1.000001 + double{subspace.norm_bound};
  return nearest_in_band(subspace, slice, screened, band_threshold(smallest_value, reach * reach / 65536.0 + 1e-30));
}

// The same screening in 16-bit integers: half the bytes to read, and two components per
// multiply-add. Centroids are scaled so that the largest norm is kShortNorm, the slice
// to norm kShortNorm, so no partial dot product leaves 32 bits. Each scaled centroid
// component is within 0.5 of its exact value, each slice component within 0.5014 (the
// float32 product is rounded first), so the integer dot product, scaled back, is within
// 2.003 sqrt(3) |x| max|c| / kShortNorm < 1.5e-4 |x| max|c| of x.c. a(c) is then off by
// less than 3e-4 |x| max|c| + 20 float32 rounding units (2^-24) times R^2, and the exact
// kernel's distance by 7 such units. The margin taken on each side,
// 4.5e-4 |x| max|c| + 64 units times R^2 + 1e-30, covers both with room.

__attribute__((target("avx512f,avx512bw,fma"))) uint8_t nearest_avx512_short(const SubspaceLanes& subspace,
                                                                             const float* slice, double slice_squares) {
  const double slice_norm = std::sqrt(slice_squares);
  const double slice_scale = kShortNorm / slice_norm;
  // Scaled in float32 and rounded to nearest: within 0.5 + 2^-24 * 23170 of exact.
  const __m512 scaled = _mm512_mul_ps(_mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << kSubDim) - 1), slice),
                                      _mm512_set1_ps(static_cast<float>(slice_scale)));
  alignas(32) int16_t slice_shorts[16];
  _mm256_store_si256(reinterpret_cast<__m256i*>(slice_shorts), _mm512_maskz_cvtepi32_epi16(0xFFFF, _mm512_maskz_cvtps_epi32(0xFFFF, scaled)));
  __m512i x_pairs[kSubDim / 2];
  for (size_t p = 0; p < kSubDim / 2; ++p) {
    int32_t pair;
    std::memcpy(&pair, slice_shorts + 2 * p, sizeof pair);
    x_pairs[p] = _mm512_set1_epi32(pair);
  }
  const __m512 unscale = _mm512_set1_ps(static_cast<float>(2.0 / (slice_scale * subspace.short_scale)));
  alignas(64) float screened[kCentroidsPerSubspace];
  __m512 smallest = _mm512_set1_ps(FLT_MAX);
  for (size_t block = 0; block < kCentroidsPerSubspace; block += 16) {
    const int16_t* group = subspace.short_pairs + block * kSubDim;
    __m512i dot = _mm512_madd_epi16(_mm512_loadu_si512(group), x_pairs[0]);
    for (size_t p = 1; p < kSubDim / 2; ++p) {
      dot = _mm512_add_epi32(dot, _mm512_madd_epi16(_mm512_loadu_si512(group + p * 32), x_pairs[p]));
    }
    const __m512 value =
        _mm512_fnmadd_ps(unscale, _mm512_maskz_cvtepi32_ps(0xFFFF, dot), _mm512_loadu_ps(subspace.squared_norms + block));
    _mm512_store_ps(screened + block, value);
    smallest = _mm512_mask_min_ps(smallest, 0xFFFF, smallest, value);  // masked: no undefined source
  }
  alignas(64) float lane_smallest[16];
  _mm512_store_ps(lane_smallest, smallest);
  float smallest_value = lane_smallest[0];
  for (size_t k = 1; k < 16; ++k) smallest_value = std::min(smallest_value, lane_smallest[k]);
  const double norm_up = slice_norm * 1.000001;
  const double reach = norm_up + double{subspace.norm_bound};
  const double margin = 4.5e-4 * norm_up * double{subspace.norm_bound} + 0x1p-18 * reach * reach + 1e-30;
  return nearest_in_band(subspace, slice, screened, band_threshold(smallest_value, margin));
}

// Full-width slices with finite, moderate components and centroids: a cheap screening
// pass computes an approximation a(c) of |c|^2 - 2 x.c for all 256 centroids, with a
// proven bound on its error. The centroid the exhaustive pass would choose has a(c)
// within twice that bound of the smallest a, so only the band of centroids that close
// needs exact distances (nearest_in_band): the choice is the exhaustive pass's, bit for
// bit. Encoding one vector is bound by reading the codebooks, hence the 16-bit copy.
__attribute__((target("avx512f"))) uint8_t nearest_avx512(const SubspaceLanes& subspace, const float* slice,
                                                          size_t n) {
  if (n != kSubDim || !(subspace.norm_bound >= 0.0f)) return nearest_avx512_exhaustive(subspace, slice, n);
  double even_squares = 0.0;
  double odd_squares = 0.0;
  for (size_t j = 0; j < kSubDim; j += 2) {
    even_squares += double{slice[j]} * double{slice[j]};
    odd_squares += double{slice[j + 1]} * double{slice[j + 1]};
  }
  const double slice_squares = even_squares + odd_squares;
  // Non-finite or huge components could make distances overflow: compare exhaustively.
  if (!(slice_squares <= 1e30)) return nearest_avx512_exhaustive(subspace, slice, n);
  if (subspace.short_pairs != nullptr && slice_squares > 0.0) {
    return nearest_avx512_short(subspace, slice, slice_squares);
  }
  return nearest_avx512_screened(subspace, slice, slice_squares);
}
#endif

NearestCentroid nearest_for(EncodeKernel kernel) {
#ifdef VENDREL_X86_ENCODE_KERNELS
  if (kernel == EncodeKernel::kAvx512) return nearest_avx512;
  if (kernel == EncodeKernel::kAvx2) return nearest_avx2;
#endif
  (void)kernel;
  return nearest_portable;
}

}  // namespace

bool encode_kernel_supported(EncodeKernel kernel) {
  if (kernel == EncodeKernel::kPortable) return true;
#ifdef VENDREL_X86_ENCODE_KERNELS
  __builtin_cpu_init();
  if (kernel == EncodeKernel::kAvx2) return __builtin_cpu_supports("avx2") != 0;
  if (kernel == EncodeKernel::kAvx512) return __builtin_cpu_supports("avx512f") != 0;
#endif
  return false;
}

EncodeKernel default_encode_kernel() {
  static const EncodeKernel chosen = [] {
    const simsimd_capability_t capabilities = simsimd_capabilities();
    if ((capabilities & simsimd_cap_skylake_k) && encode_kernel_supported(EncodeKernel::kAvx512)) {
      return EncodeKernel::kAvx512;
    }
    if ((capabilities & simsimd_cap_haswell_k) && encode_kernel_supported(EncodeKernel::kAvx2)) {
      return EncodeKernel::kAvx2;
    }
    return EncodeKernel::kPortable;
  }();
  return chosen;
}

float subspace_distance(std::span<const float> query_slice, const std::vector<float>& centroid) {
  return squared_distance(query_slice.data(), centroid.data(), std::min(query_slice.size(), centroid.size()));
}

ProductQuantizer ProductQuantizer::train_views(std::span<const std::span<const float>> training_vectors,
                                         size_t storage_dimension) {
  ProductQuantizer quantizer;
  quantizer.num_subspaces = (storage_dimension + kSubDim - 1) / kSubDim;
  quantizer.sub_dim = kSubDim;

  // One generator across all subspaces, so the initial centroids are fixed by the seed.
  Lcg generator(kQuantizerSeed);
  quantizer.codebooks.reserve(quantizer.num_subspaces);
  for (size_t s = 0; s < quantizer.num_subspaces; ++s) quantizer.codebooks.push_back(random_codebook(generator));

  if (!training_vectors.empty()) {
    const size_t width = training_vectors.front().size();
    for (size_t s = 0; s < quantizer.num_subspaces && s * kSubDim < width; ++s) {
      const size_t start = s * kSubDim;
      const size_t end = std::min(start + kSubDim, width);
      quantizer.codebooks[s] = sampled_codebook(training_vectors, start, end);
    }
  }
  quantizer.prepare_encoding();
  return quantizer;
}

ProductQuantizer ProductQuantizer::train(const std::vector<std::vector<float>>& training_vectors,
                                         size_t storage_dimension) {
  const std::vector<std::span<const float>> views(training_vectors.begin(), training_vectors.end());
  return train_views(views, storage_dimension);
}

void ProductQuantizer::prepare_encoding() {
  const size_t subspaces = std::min(num_subspaces, codebooks.size());
  centroid_lanes.assign(subspaces * kLanesPerSubspace, 0.0f);
  centroid_squared_norms.assign(subspaces * kCentroidsPerSubspace, 0.0f);
#ifdef VENDREL_X86_ENCODE_KERNELS
  __builtin_cpu_init();
  const bool short_supported = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
  const bool short_supported = false;
#endif
  centroid_short_pairs.assign(short_supported ? subspaces * kLanesPerSubspace : 0, 0);
  centroid_short_scale.assign(subspaces, 0.0);
  centroid_norm_bound.assign(subspaces, -1.0f);
  shortest_centroid.assign(subspaces, 0);
  for (size_t s = 0; s < subspaces; ++s) {
    const auto& centroids = codebooks[s];
    // A codebook of another size than 256 is compared centroid by centroid.
    if (centroids.size() != kCentroidsPerSubspace) continue;
    size_t shortest = kSubDim;
    for (size_t c = 0; c < kCentroidsPerSubspace; ++c) {
      const auto& centroid = centroids[c];
      shortest = std::min(shortest, centroid.size());
      for (size_t j = 0; j < std::min(centroid.size(), kSubDim); ++j) {
        centroid_lanes[s * kLanesPerSubspace + lane_offset(c, j)] = centroid[j];
      }
    }
    shortest_centroid[s] = static_cast<uint8_t>(shortest);
    bool finite = true;
    double largest_squared_norm = 0.0;
    for (size_t c = 0; c < kCentroidsPerSubspace; ++c) {
      float squared_norm = 0.0f;
      double exact_squared_norm = 0.0;
      for (size_t j = 0; j < kSubDim; ++j) {
        const float component = centroid_lanes[s * kLanesPerSubspace + lane_offset(c, j)];
        finite = finite && std::isfinite(component);
        squared_norm += component * component;
        exact_squared_norm += double{component} * double{component};
      }
      centroid_squared_norms[s * kCentroidsPerSubspace + c] = squared_norm;
      largest_squared_norm = std::max(largest_squared_norm, exact_squared_norm);
    }
    // Rounded up: the bound only has to be at least every norm.
    if (finite && largest_squared_norm <= 1e30) {
      centroid_norm_bound[s] = static_cast<float>(std::sqrt(largest_squared_norm) * 1.0001);
    }
    // 16-bit copy for screening: component j of centroid c (groups of 16 centroids,
    // pairs of components interleaved) at (c / 16) * 192 + (j / 2) * 32 + (c % 16) * 2
    // + j % 2.
    if (short_supported && finite && largest_squared_norm > 0.0 && largest_squared_norm <= 1e30) {
      const double scale = kShortNorm / std::sqrt(largest_squared_norm);
      centroid_short_scale[s] = scale;
      for (size_t c = 0; c < kCentroidsPerSubspace; ++c) {
        for (size_t j = 0; j < kSubDim; ++j) {
          const float component = centroid_lanes[s * kLanesPerSubspace + lane_offset(c, j)];
          const size_t at = (c / kLaneGroup) * (kLaneGroup * kSubDim) + (j / 2) * (2 * kLaneGroup) + (c % kLaneGroup) * 2 + j % 2;
          centroid_short_pairs[s * kLanesPerSubspace + at] = static_cast<int16_t>(std::lround(double{component} * scale));
        }
      }
    }
  }
}

void ProductQuantizer::encode(std::span<const float> vector, uint8_t* code) const {
  encode(vector, code, default_encode_kernel());
}

void ProductQuantizer::encode(std::span<const float> vector, uint8_t* code, EncodeKernel kernel) const {
  encode_batch(std::span<const std::span<const float>>(&vector, 1), code, kernel);
}

void ProductQuantizer::encode_batch(std::span<const std::span<const float>> vectors, uint8_t* codes) const {
  encode_batch(vectors, codes, default_encode_kernel());
}

void ProductQuantizer::encode_batch(std::span<const std::span<const float>> vectors, uint8_t* codes,
                                    EncodeKernel kernel) const {
  const NearestCentroid nearest = nearest_for(kernel);
  const size_t prepared = shortest_centroid.size();
  const size_t width = num_subspaces;
  // Whether subspace i of a vector is one the lanes cover (train() makes them all so).
  auto covered = [&](size_t i, size_t length) {
    return sub_dim == kSubDim && i < prepared && length <= shortest_centroid[i];
  };
  bool needs_reference = false;
  // Subspace by subspace over a tile of vectors, so one subspace's centroids (12 KiB)
  // stay in the first-level cache while the tile is encoded against them.
  for (size_t first = 0; first < vectors.size(); first += kEncodeTile) {
    const size_t end = std::min(vectors.size(), first + kEncodeTile);
    for (size_t i = 0; i < width; ++i) {
      const size_t start = i * sub_dim;
      const bool has_short = i < prepared && !centroid_short_pairs.empty() && centroid_short_scale[i] > 0.0;
      const SubspaceLanes subspace{
          i < prepared ? centroid_lanes.data() + i * kLanesPerSubspace : nullptr,
          i < prepared ? centroid_squared_norms.data() + i * kCentroidsPerSubspace : nullptr,
          i < prepared ? centroid_norm_bound[i] : -1.0f,
          has_short ? centroid_short_pairs.data() + i * kLanesPerSubspace : nullptr,
          has_short ? centroid_short_scale[i] : 0.0};
      for (size_t v = first; v < end; ++v) {
        const std::span<const float> vector = vectors[v];
        uint8_t& byte = codes[v * width + i];
        byte = 0;
        if (start >= vector.size() || i >= codebooks.size()) continue;
        const size_t length = std::min(sub_dim, vector.size() - start);
        if (!covered(i, length)) {
          needs_reference = true;
          continue;
        }
        byte = nearest(subspace, vector.data() + start, length);
      }
    }
  }
  if (!needs_reference) return;
  // Shapes the lanes do not cover (never produced by train) take the per-centroid loop.
  std::vector<uint8_t> reference(width);
  for (size_t v = 0; v < vectors.size(); ++v) {
    const std::span<const float> vector = vectors[v];
    encode_per_centroid(vector, reference.data());
    for (size_t i = 0; i < width; ++i) {
      const size_t start = i * sub_dim;
      if (start >= vector.size() || i >= codebooks.size()) continue;
      if (!covered(i, std::min(sub_dim, vector.size() - start))) codes[v * width + i] = reference[i];
    }
  }
}

void ProductQuantizer::encode_per_centroid(std::span<const float> vector, uint8_t* code,
                                           SquaredDistanceKernel distance) const {
  for (size_t i = 0; i < num_subspaces; ++i) {
    const size_t start = i * sub_dim;
    code[i] = 0;
    if (start >= vector.size() || i >= codebooks.size()) continue;
    const auto slice = vector.subspan(start, std::min(sub_dim, vector.size() - start));
    const auto& centroids = codebooks[i];
    const size_t centroid_count = std::min(centroids.size(), kCentroidsPerSubspace);
    size_t best = 0;
    float best_distance = FLT_MAX;
    for (size_t c = 0; c < centroid_count; ++c) {
      const size_t count = std::min(slice.size(), centroids[c].size());
      float found = 0.0f;
      if (distance) {
        double result = 0.0;
        distance(slice.data(), centroids[c].data(), count, &result);
        found = static_cast<float>(result);
      } else {
        found = squared_distance(slice.data(), centroids[c].data(), count);
      }
      if (found < best_distance) {
        best = c;
        best_distance = found;
      }
    }
    code[i] = static_cast<uint8_t>(best);
  }
}

std::vector<uint8_t> ProductQuantizer::encode(std::span<const float> vector) const {
  std::vector<uint8_t> code(num_subspaces);
  encode(vector, code.data());
  return code;
}

float similarity_from_total(float total) {
  const float scaled = std::sqrt(total) * 0.25f;
  // Written so that a NaN distance takes the cap: the similarity is then 0.
  const float capped = scaled < 1.0f ? scaled : 1.0f;
  return 1.0f - capped;
}

DistanceTable DistanceTable::build(const ProductQuantizer& quantizer, std::span<const float> query) {
  DistanceTable table;
  const size_t subspace_limit = std::min(quantizer.num_subspaces, quantizer.codebooks.size());
  while (table.used_subspaces < subspace_limit && table.used_subspaces * quantizer.sub_dim < query.size()) {
    ++table.used_subspaces;
  }
  table.entries.assign(table.used_subspaces * kCentroidsPerSubspace, 0.0f);
  for (size_t s = 0; s < table.used_subspaces; ++s) {
    const size_t start = s * quantizer.sub_dim;
    const auto slice = query.subspan(start, std::min(quantizer.sub_dim, query.size() - start));
    const auto& centroids = quantizer.codebooks[s];
    const size_t centroid_count = std::min(centroids.size(), kCentroidsPerSubspace);
    for (size_t c = 0; c < centroid_count; ++c) {
      table.entries[s * kCentroidsPerSubspace + c] = subspace_distance(slice, centroids[c]);
    }
  }
  return table;
}

float DistanceTable::total(const uint8_t* code, size_t code_length) const {
  const size_t compared = std::min(code_length, used_subspaces);
  float total = 0.0f;
  for (size_t s = 0; s < compared; ++s) total += entries[s * kCentroidsPerSubspace + code[s]];
  return total;
}

float DistanceTable::similarity(const uint8_t* code, size_t code_length) const {
  return similarity_from_total(total(code, code_length));
}

void DistanceTable::similarities(const uint8_t* const* codes, size_t count, size_t code_length, float* out,
                                 float* totals_out) const {
  const size_t compared = std::min(code_length, used_subspaces);
  size_t first = 0;
  // Independent running sums hide the latency of the additions; each lane still adds
  // its own code's entries in subspace order, so its total equals similarity()'s.
  constexpr size_t kLanes = 8;
  for (; first + kLanes <= count; first += kLanes) {
    float totals[kLanes] = {};
    for (size_t s = 0; s < compared; ++s) {
      const float* row = entries.data() + s * kCentroidsPerSubspace;
      for (size_t lane = 0; lane < kLanes; ++lane) totals[lane] += row[codes[first + lane][s]];
    }
    for (size_t lane = 0; lane < kLanes; ++lane) {
      out[first + lane] = similarity_from_total(totals[lane]);
      totals_out[first + lane] = totals[lane];
    }
  }
  for (; first < count; ++first) {
    totals_out[first] = total(codes[first], code_length);
    out[first] = similarity_from_total(totals_out[first]);
  }
}

Status write_activation_notice(size_t threshold) {
  const std::string line = "Activating quantization at " + std::to_string(threshold) + " vectors...\n";
  size_t written = 0;
  while (written < line.size()) {
    const ssize_t result = ::write(STDOUT_FILENO, line.data() + written, line.size() - written);
    if (result < 0) {
      const int error_number = errno;
      if (error_number == EINTR) continue;
      return internal_error("failed printing to stdout: " + os_error_text(error_number));
    }
    if (result == 0) return internal_error("failed printing to stdout: failed to write whole buffer");
    written += static_cast<size_t>(result);
  }
  return ok_status();
}

}  // namespace vendrel
