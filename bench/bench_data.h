// Data shared by the C++ benchmarks: the clustered vectors every benchmark here uses
// (a mixture of 50 Gaussians, centres N(0, 1), noise 0.35, as peers_bench.py makes them).
#pragma once

#include <cstddef>
#include <random>
#include <vector>

namespace bench {

inline constexpr size_t kDimension = 768;

inline std::vector<std::vector<float>> clustered(size_t count, unsigned seed, size_t dimension = kDimension) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<std::vector<float>> centres(50, std::vector<float>(dimension));
  for (auto& centre : centres) {
    for (float& value : centre) value = normal(generator);
  }
  std::uniform_int_distribution<size_t> pick(0, centres.size() - 1);
  std::vector<std::vector<float>> vectors(count, std::vector<float>(dimension));
  for (auto& vector : vectors) {
    const auto& centre = centres[pick(generator)];
    for (size_t j = 0; j < dimension; ++j) vector[j] = centre[j] + 0.35f * normal(generator);
  }
  return vectors;
}

}  // namespace bench
