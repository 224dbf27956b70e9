// Test vectors: rows of a mixture of 20 Gaussians (centres N(0, 1) drawn from `seed`,
// noise 0.35), row-major. One seed gives one mixture, so rows and queries can share it.
#pragma once

#include <cstddef>
#include <random>
#include <span>
#include <vector>

namespace vendrel {

inline std::vector<float> clustered_rows(size_t count, size_t dim, unsigned seed, std::mt19937& draws) {
  std::mt19937 centre_generator(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> centres(20 * dim);
  for (float& value : centres) value = normal(centre_generator);
  std::uniform_int_distribution<size_t> pick(0, 19);
  std::vector<float> rows(count * dim);
  for (size_t i = 0; i < count; ++i) {
    const float* centre = centres.data() + pick(draws) * dim;
    for (size_t j = 0; j < dim; ++j) rows[i * dim + j] = centre[j] + 0.35f * normal(draws);
  }
  return rows;
}

inline std::span<const float> row_of(const std::vector<float>& rows, size_t i, size_t dim) {
  return {rows.data() + i * dim, dim};
}

}  // namespace vendrel
