#include "quantize.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <string>

#include <simsimd/simsimd.h>

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
std::vector<float> training_slice(const std::vector<float>& vector, size_t start, size_t end) {
  std::vector<float> slice(end - start, 0.0f);
  const size_t available_end = std::min(end, vector.size());
  if (available_end > start) std::copy(vector.begin() + start, vector.begin() + available_end, slice.begin());
  return slice;
}

std::vector<std::vector<float>> sampled_codebook(const std::vector<std::vector<float>>& training_vectors,
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

}  // namespace

float subspace_distance(std::span<const float> query_slice, const std::vector<float>& centroid) {
  return squared_distance(query_slice.data(), centroid.data(), std::min(query_slice.size(), centroid.size()));
}

ProductQuantizer ProductQuantizer::train(const std::vector<std::vector<float>>& training_vectors,
                                         size_t storage_dimension) {
  ProductQuantizer quantizer;
  quantizer.num_subspaces = (storage_dimension + kSubDim - 1) / kSubDim;
  quantizer.sub_dim = kSubDim;

  // One generator across all subspaces, so the initial centroids are fixed by the seed.
  Lcg generator(kQuantizerSeed);
  quantizer.codebooks.reserve(quantizer.num_subspaces);
  for (size_t s = 0; s < quantizer.num_subspaces; ++s) quantizer.codebooks.push_back(random_codebook(generator));

  if (training_vectors.empty()) return quantizer;
  const size_t width = training_vectors.front().size();
  for (size_t s = 0; s < quantizer.num_subspaces && s * kSubDim < width; ++s) {
    const size_t start = s * kSubDim;
    const size_t end = std::min(start + kSubDim, width);
    quantizer.codebooks[s] = sampled_codebook(training_vectors, start, end);
  }
  return quantizer;
}

void ProductQuantizer::encode(std::span<const float> vector, uint8_t* code) const {
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
      const float distance = subspace_distance(slice, centroids[c]);
      if (distance < best_distance) {
        best = c;
        best_distance = distance;
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
