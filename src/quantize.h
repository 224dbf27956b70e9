// The product quantizer: 12-component subspaces, 256 centroids each, sampled from the
// stored vectors (no clustering iterations), and the activation notice.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common.h"

namespace vendrel {

inline constexpr size_t kSubDim = 12;
inline constexpr size_t kCentroidsPerSubspace = 256;

struct ProductQuantizer {
  // codebooks[s][c] is centroid c of subspace s: 12 components, or fewer when it was
  // sampled from a last subspace shorter than 12.
  std::vector<std::vector<std::vector<float>>> codebooks;
  size_t num_subspaces = 0;  // (D + 11) / 12
  size_t sub_dim = kSubDim;

  // Builds the quantizer for storage dimension D from the training vectors (all of one
  // length): pseudo-random unit centroids from Lcg(54321), then, for every subspace
  // inside the first vector's length, up to 256 evenly spaced training slices, padded
  // with zero centroids and unit-normalised. A training vector shorter than the first
  // (a zero-length one) counts as zeros. Pure; never fails.
  static ProductQuantizer train(const std::vector<std::vector<float>>& training_vectors, size_t storage_dimension);

  // One byte per subspace: the nearest centroid by float32-narrowed squared L2 over the
  // slice's length (strictly smaller wins, so ties go to the lowest index, and NaN
  // never wins); 0 for subspaces at or beyond the vector's end. `code` has
  // num_subspaces bytes. Pure; never fails.
  void encode(std::span<const float> vector, uint8_t* code) const;
  std::vector<uint8_t> encode(std::span<const float> vector) const;
};

// Per-query table of the squared distance between each query slice and each centroid
// (the kernel's double result narrowed to float32), so that scoring a code is a sum of
// table reads in subspace order, bit-identical to comparing centroid by centroid.
struct DistanceTable {
  size_t used_subspaces = 0;   // subspaces compared: those starting inside the query
  std::vector<float> entries;  // [subspace * 256 + centroid]

  // The caller keeps the quantizer alive and unchanged (holds its read lock) while the
  // table is used. Pure; never fails.
  static DistanceTable build(const ProductQuantizer& quantizer, std::span<const float> query);
  // The similarity of a code: 1 - min(sqrt(total) * 0.25, 1), in float32.
  float similarity(const uint8_t* code, size_t code_length) const;
  // The summed squared distance behind similarity(): table entries added in subspace order.
  float total(const uint8_t* code, size_t code_length) const;
  // out[i] = similarity(codes[i], code_length) and totals_out[i] = total(codes[i],
  // code_length) for i < count, several codes at a time.
  void similarities(const uint8_t* const* codes, size_t count, size_t code_length, float* out,
                    float* totals_out) const;
};

// The squared L2 distance of a query slice and a centroid over their common length
// (a centroid from a short last subspace may be shorter than the slice), computed by
// simsimd_l2sq_f32 and narrowed to float32.
float subspace_distance(std::span<const float> query_slice, const std::vector<float>& centroid);

// 1 - min(sqrt(total) * 0.25, 1) in float32; a NaN total gives 0.
float similarity_from_total(float total);

// Writes "Activating quantization at {threshold} vectors...\n" to file descriptor 1,
// bypassing any buffering of the host; partial writes continue, EINTR is retried. A
// failed write is a kInternal error "failed printing to stdout: <os error text>".
Status write_activation_notice(size_t threshold);

}  // namespace vendrel
