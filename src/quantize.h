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

// The instruction-set variants of the encoder. Each computes a squared distance with the
// same operations in the same order as the SimSIMD squared-L2 kernel of its family
// (kPortable: the serial kernel; kAvx2: the Haswell kernel; kAvx512: the Skylake
// kernel), only for 4, 8 or 16 centroids side by side, so on the CPU where SimSIMD
// dispatches to that family the distances, and with them the codes, are bit-identical
// to comparing centroid by centroid.
enum class EncodeKernel { kPortable, kAvx2, kAvx512 };

// Whether this CPU can run the variant. kPortable always can.
bool encode_kernel_supported(EncodeKernel kernel);

// The variant of the family SimSIMD uses for its own squared-L2 kernel on this CPU
// (decided once, from SimSIMD's capability detection); kPortable off x86-64.
EncodeKernel default_encode_kernel();

// simsimd_l2sq_f32's signature: the per-centroid encoder's distance function.
using SquaredDistanceKernel = void (*)(const float* a, const float* b, size_t count, double* result);

struct ProductQuantizer {
  // codebooks[s][c] is centroid c of subspace s: 12 components, or fewer when it was
  // sampled from a last subspace shorter than 12. Fixed once train() returns; a caller
  // that changes them afterwards calls prepare_encoding() before encoding.
  std::vector<std::vector<std::vector<float>>> codebooks;
  size_t num_subspaces = 0;  // (D + 11) / 12
  size_t sub_dim = kSubDim;

  // The codebooks regrouped for encode(): per subspace (3072 floats), groups of 16
  // centroids, each group's 12 components one after another, 16 floats each (0 past a
  // centroid's length), so that one vector load holds one component of 4, 8 or 16
  // centroids and the codebooks are read front to back.
  std::vector<float> centroid_lanes;
  // Per subspace and centroid, the float32 sum of its squared components; per subspace,
  // a bound at least as large as every centroid's norm, or -1 when a centroid is not
  // finite. They let the AVX-512 variant screen out centroids that cannot be nearest.
  std::vector<float> centroid_squared_norms;
  std::vector<float> centroid_norm_bound;
  // The centroids in 16 bits for the same screening (on CPUs with AVX-512BW, else
  // empty), each subspace scaled so that its largest norm is 23170 (centroid_short_scale:
  // 0 where a subspace is not screened this way).
  std::vector<int16_t> centroid_short_pairs;
  std::vector<double> centroid_short_scale;
  // Per subspace, the length of its shortest centroid (at most 12). A slice longer than
  // that would be compared over different lengths with different centroids; encode()
  // leaves such a subspace to the per-centroid loop.
  std::vector<uint8_t> shortest_centroid;

  // Builds the quantizer for storage dimension D from the training vectors (all of one
  // length): pseudo-random unit centroids from Lcg(54321), then, for every subspace
  // inside the first vector's length, up to 256 evenly spaced training slices, padded
  // with zero centroids and unit-normalised. A training vector shorter than the first
  // (a zero-length one) counts as zeros. The vectors are only read; no copy of them is
  // kept. Pure; never fails. train_views takes views of vectors held elsewhere.
  static ProductQuantizer train(const std::vector<std::vector<float>>& training_vectors, size_t storage_dimension);
  static ProductQuantizer train_views(std::span<const std::span<const float>> training_vectors,
                                      size_t storage_dimension);

  // Derives centroid_lanes and the other encoding tables below codebooks from them
  // (train() does it).
  void prepare_encoding();

  // One byte per subspace: the nearest centroid by float32-narrowed squared L2 over the
  // slice's length (strictly smaller wins, so ties go to the lowest index, and a NaN or
  // infinite distance never wins); 0 for subspaces at or beyond the vector's end. `code`
  // has num_subspaces bytes. All 256 centroids of a subspace are compared in one pass
  // with default_encode_kernel(), or with `kernel`, which the CPU must support. Pure;
  // never fails.
  void encode(std::span<const float> vector, uint8_t* code) const;
  void encode(std::span<const float> vector, uint8_t* code, EncodeKernel kernel) const;
  std::vector<uint8_t> encode(std::span<const float> vector) const;
  // encode() of every vector, vector k's code at codes[k * num_subspaces]; the same
  // codes, computed a few vectors at a time per subspace so that each subspace's
  // centroids are read from the cache rather than from memory. Pure; never fails.
  void encode_batch(std::span<const std::span<const float>> vectors, uint8_t* codes) const;
  void encode_batch(std::span<const std::span<const float>> vectors, uint8_t* codes, EncodeKernel kernel) const;

  // The same choice made centroid by centroid, one call of `distance` (null: SimSIMD's
  // dispatched simsimd_l2sq_f32) per centroid: the reference the one-pass encoder is
  // tested and measured against. Pure; never fails.
  void encode_per_centroid(std::span<const float> vector, uint8_t* code,
                           SquaredDistanceKernel distance = nullptr) const;
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
