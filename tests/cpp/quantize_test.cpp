#include "quantize.h"

#include <unistd.h>

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <simsimd/simsimd.h>

namespace vendrel {
namespace {

std::vector<std::vector<float>> random_vectors(size_t count, size_t length, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<std::vector<float>> vectors(count, std::vector<float>(length));
  for (auto& vector : vectors)
    for (float& value : vector) value = normal(rng);
  return vectors;
}

std::vector<float> normalized_slice(const std::vector<float>& vector, size_t start, size_t end) {
  std::vector<float> slice(vector.begin() + start, vector.begin() + end);
  normalize_unit(slice);
  return slice;
}

TEST(ProductQuantizerTest, InitialCentroidsFollowTheSeededGenerator) {
  Lcg generator(kQuantizerSeed);
  std::vector<float> first(12);
  for (float& value : first) value = generator.next();
  EXPECT_EQ(first[0], 27912.625f);
  EXPECT_EQ(first[1], 8194392064.0f);
  EXPECT_EQ(first[2], 1890188416.0f);
  normalize_unit(first);

  const auto quantizer = ProductQuantizer::train({}, 768);
  EXPECT_EQ(quantizer.num_subspaces, 64u);
  EXPECT_EQ(quantizer.sub_dim, 12u);
  ASSERT_EQ(quantizer.codebooks.size(), 64u);
  EXPECT_EQ(quantizer.codebooks[63].size(), 256u);
  EXPECT_EQ(quantizer.codebooks[0][0], first);
  // The generator runs on across subspaces: subspace 1 starts after 256 * 12 draws.
  for (int draw = 12; draw < 256 * 12; ++draw) generator.next();
  std::vector<float> subspace_one(12);
  for (float& value : subspace_one) value = generator.next();
  normalize_unit(subspace_one);
  EXPECT_EQ(quantizer.codebooks[1][0], subspace_one);
}

TEST(ProductQuantizerTest, ThreeHundredVectorsSampleTheFirst256) {
  const auto training = random_vectors(300, 24, 1);
  const auto quantizer = ProductQuantizer::train(training, 768);
  const auto initial = ProductQuantizer::train({}, 768);
  for (size_t s = 0; s < 2; ++s)
    for (size_t c = 0; c < 256; ++c)
      ASSERT_EQ(quantizer.codebooks[s][c], normalized_slice(training[c], s * 12, s * 12 + 12)) << s << " " << c;
  EXPECT_EQ(quantizer.codebooks[2], initial.codebooks[2]);
}

TEST(ProductQuantizerTest, SamplingStepFor5000Vectors) {
  std::vector<std::vector<float>> training(5000, std::vector<float>(12, 0.0f));
  for (size_t k = 0; k < training.size(); ++k) training[k][0] = 1.0f, training[k][1] = static_cast<float>(k);
  const auto quantizer = ProductQuantizer::train(training, 768);
  const auto& centroids = quantizer.codebooks[0];
  EXPECT_NEAR(centroids[1][1] / centroids[1][0], 19.0f, 1e-3);
  EXPECT_NEAR(centroids[255][1] / centroids[255][0], 4845.0f, 1.0);
}

TEST(ProductQuantizerTest, ShortVectorsPadWithZeroCentroidsAndEncodeZeroPastTheirEnd) {
  const auto training = random_vectors(100, 100, 2);
  const auto quantizer = ProductQuantizer::train(training, 768);
  const auto initial = ProductQuantizer::train({}, 768);
  const auto& last = quantizer.codebooks[8];  // components 96..99
  EXPECT_EQ(last[0], normalized_slice(training[0], 96, 100));
  EXPECT_EQ(last[99].size(), 4u);
  EXPECT_EQ(last[100], std::vector<float>(12, 0.0f));
  EXPECT_EQ(last[255], std::vector<float>(12, 0.0f));
  for (size_t s = 9; s < 64; ++s) ASSERT_EQ(quantizer.codebooks[s], initial.codebooks[s]);

  for (const auto& vector : random_vectors(20, 100, 3)) {
    const auto code = quantizer.encode(vector);
    ASSERT_EQ(code.size(), 64u);
    for (size_t s = 9; s < 64; ++s) ASSERT_EQ(code[s], 0) << s;
  }
}

TEST(ProductQuantizerTest, EncodingTiesZeroCentroidsNanAndShortInput) {
  const auto training = random_vectors(3, 12, 4);
  // Vectors 0 and 1 are the same, so their centroids tie.
  const auto quantizer = ProductQuantizer::train({training[0], training[0], training[2]}, 24);
  const auto& centroids = quantizer.codebooks[0];

  EXPECT_EQ(quantizer.encode(centroids[0])[0], 0);  // tie at distance 0: lowest index
  EXPECT_EQ(quantizer.encode(centroids[2])[0], 2);
  std::vector<float> tiny(12);
  for (size_t i = 0; i < 12; ++i) tiny[i] = -0.01f * centroids[2][i];
  EXPECT_EQ(quantizer.encode(tiny)[0], 3);  // nearest is the first zero centroid
  EXPECT_EQ(quantizer.encode(std::vector<float>(12, NAN))[0], 0);

  // A 5-component vector is compared over its 5 components; subspace 1 starts past it.
  const std::vector<float> prefix(centroids[2].begin(), centroids[2].begin() + 5);
  EXPECT_EQ(quantizer.encode(prefix), (std::vector<uint8_t>{2, 0}));
  EXPECT_EQ(quantizer.encode({}), (std::vector<uint8_t>{0, 0}));
}

TEST(ProductQuantizerTest, ZeroLengthTrainingVectorsAreReadAsZeros) {
  const auto training = random_vectors(1, 12, 5);
  const auto mixed = ProductQuantizer::train({training[0], {}}, 12);
  EXPECT_EQ(mixed.codebooks[0][1], std::vector<float>(12, 0.0f));

  // A zero-length first vector fixes d = 0: every subspace keeps its initial centroids.
  const auto empty_first = ProductQuantizer::train({{}, training[0]}, 12);
  EXPECT_EQ(empty_first.codebooks, ProductQuantizer::train({}, 12).codebooks);
}

// SimSIMD's kernel of each family, which the one-pass variant of that family mirrors.
struct KernelPair {
  EncodeKernel kernel;
  SquaredDistanceKernel reference;
};

std::vector<KernelPair> supported_kernel_pairs() {
  std::vector<KernelPair> pairs{{EncodeKernel::kPortable, [](const float* a, const float* b, size_t n, double* d) {
                                   simsimd_l2sq_f32_serial(a, b, n, d);
                                 }}};
#if SIMSIMD_TARGET_HASWELL
  if (encode_kernel_supported(EncodeKernel::kAvx2) && (simsimd_capabilities() & simsimd_cap_haswell_k)) {
    pairs.push_back({EncodeKernel::kAvx2, [](const float* a, const float* b, size_t n, double* d) {
                       simsimd_l2sq_f32_haswell(a, b, n, d);
                     }});
  }
#endif
#if SIMSIMD_TARGET_SKYLAKE
  if (encode_kernel_supported(EncodeKernel::kAvx512) && (simsimd_capabilities() & simsimd_cap_skylake_k)) {
    pairs.push_back({EncodeKernel::kAvx512, [](const float* a, const float* b, size_t n, double* d) {
                       simsimd_l2sq_f32_skylake(a, b, n, d);
                     }});
  }
#endif
  return pairs;
}

// Queries that exercise the choice rule: plain draws, exact copies of centroids that
// are repeated in the codebook (exact ties in other lanes and blocks), NaN, infinite
// and huge components (infinite distances), and all of it on short last slices.
std::vector<std::vector<float>> hostile_queries(const ProductQuantizer& quantizer, size_t length, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<size_t> component(0, length - 1);
  std::vector<std::vector<float>> queries;
  for (size_t q = 0; q < 400; ++q) {
    std::vector<float> query(length);
    for (float& value : query) value = normal(rng);
    const size_t kind = q % 8;
    if (kind == 1 || kind == 2) {
      // Every subspace's slice copied from one centroid (zero distance, repeated ones tie).
      for (size_t start = 0; start < length; start += kSubDim) {
        const auto& centroid = quantizer.codebooks[start / kSubDim][rng() % kCentroidsPerSubspace];
        for (size_t j = start; j < std::min(length, start + kSubDim); ++j) query[j] = centroid[j - start];
      }
    }
    if (kind == 2) for (float& value : query) value = std::nextafter(value, 2.0f);
    if (kind == 3) for (int k = 0; k < 20; ++k) query[component(rng)] = NAN;
    if (kind == 4) for (int k = 0; k < 20; ++k) query[component(rng)] = (rng() % 2) ? INFINITY : -INFINITY;
    if (kind == 5) for (int k = 0; k < 20; ++k) query[component(rng)] = 3e19f;  // square overflows
    if (kind == 6) for (float& value : query) value = static_cast<float>(static_cast<int>(value * 2)) * 0.5f;
    if (kind == 7) for (float& value : query) value *= 1e-20f;  // squares underflow: ties at 1
    queries.push_back(std::move(query));
    // Slices halfway between two centroids: distances equal up to rounding, where any
    // screening of the centroids must leave both to the exact comparison.
    std::vector<float> halfway(length);
    for (size_t start = 0; start < length; start += kSubDim) {
      const auto& codebook = quantizer.codebooks[start / kSubDim];
      const auto& first = codebook[rng() % kCentroidsPerSubspace];
      const auto& second = codebook[rng() % kCentroidsPerSubspace];
      for (size_t j = start; j < std::min(length, start + kSubDim); ++j) {
        halfway[j] = (first[j - start] + second[j - start]) * 0.5f * (1.0f + 0.2f * static_cast<float>(q % 3));
      }
    }
    queries.push_back(std::move(halfway));
  }
  return queries;
}

// Each one-pass variant against the per-centroid loop with the SimSIMD kernel of its
// family: the codes must be identical, not merely close. Training sets with repeated
// vectors, fewer than 256 vectors (zero centroids), and a length of 100 (a 4-component
// last subspace) cover ties, the zero centroids and short slices.
TEST(ProductQuantizerTest, OnePassEncodingMatchesThePerCentroidLoopOfItsFamily) {
  const auto distinct = random_vectors(400, 768, 21);
  std::vector<std::vector<float>> repeated;
  for (size_t k = 0; k < 600; ++k) repeated.push_back(distinct[k % 37]);
  const auto short_vectors = random_vectors(90, 100, 22);
  const std::vector<std::pair<ProductQuantizer, size_t>> cases{
      {ProductQuantizer::train(distinct, 768), 768},
      {ProductQuantizer::train(repeated, 768), 768},
      {ProductQuantizer::train(short_vectors, 768), 100},
      {ProductQuantizer::train({}, 768), 768},
  };
  for (const KernelPair& pair : supported_kernel_pairs()) {
    size_t compared = 0;
    for (size_t c = 0; c < cases.size(); ++c) {
      const auto& [quantizer, length] = cases[c];
      const auto queries = hostile_queries(quantizer, length, static_cast<uint32_t>(30 + c));
      std::vector<uint8_t> references;
      for (const auto& query : queries) {
        std::vector<uint8_t> fast(quantizer.num_subspaces);
        std::vector<uint8_t> reference(quantizer.num_subspaces);
        quantizer.encode(query, fast.data(), pair.kernel);
        quantizer.encode_per_centroid(query, reference.data(), pair.reference);
        ASSERT_EQ(fast, reference) << "kernel " << static_cast<int>(pair.kernel) << " case " << c;
        references.insert(references.end(), reference.begin(), reference.end());
        ++compared;
      }
      // The batch encoder (tiles of vectors per subspace) gives the same codes.
      const std::vector<std::span<const float>> views(queries.begin(), queries.end());
      std::vector<uint8_t> batch(references.size());
      quantizer.encode_batch(views, batch.data(), pair.kernel);
      ASSERT_EQ(batch, references) << "kernel " << static_cast<int>(pair.kernel) << " case " << c;
    }
    EXPECT_EQ(compared, cases.size() * 800);
  }
  // The default variant follows SimSIMD's own dispatch, so plain encode() agrees with
  // the dispatched kernel centroid by centroid.
  for (const auto& query : hostile_queries(cases[0].first, 768, 40)) {
    std::vector<uint8_t> reference(64);
    cases[0].first.encode_per_centroid(query, reference.data());
    ASSERT_EQ(cases[0].first.encode(query), reference);
  }
}

// Codebooks changed after training (shorter centroids than the slice, a short
// codebook) are encoded centroid by centroid, never from stale lanes.
TEST(ProductQuantizerTest, UnpreparedShapesFallBackToThePerCentroidLoop) {
  auto quantizer = ProductQuantizer::train(random_vectors(300, 24, 23), 24);
  quantizer.codebooks[0][7].resize(5);
  quantizer.codebooks[1].resize(100);
  quantizer.prepare_encoding();
  for (const auto& query : random_vectors(50, 24, 24)) {
    std::vector<uint8_t> reference(2);
    quantizer.encode_per_centroid(query, reference.data());
    ASSERT_EQ(quantizer.encode(query), reference);
  }
}

TEST(ActivationNoticeTest, WritesTheLineToFileDescriptorOne) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(pipe_fds[1], STDOUT_FILENO);
  const Status status = write_activation_notice(5000);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(pipe_fds[1]);
  char buffer[128] = {};
  const ssize_t got = ::read(pipe_fds[0], buffer, sizeof buffer);
  ::close(pipe_fds[0]);
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(std::string(buffer, got > 0 ? got : 0), "Activating quantization at 5000 vectors...\n");
}

}  // namespace
}  // namespace vendrel
