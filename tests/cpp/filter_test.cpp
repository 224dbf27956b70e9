#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filter.h"

namespace vendrel {
namespace {

using Ids = std::vector<uint32_t>;
using MaybeIds = std::optional<Ids>;

Ids ids_of(const roaring::Roaring& set) {
  Ids ids;
  for (uint32_t id : set) ids.push_back(id);
  return ids;
}

void add(FilterEngine& engine, uint32_t id, std::string_view metadata) {
  engine.add_document(id);
  Result<JsonValue> parsed = parse_json(metadata);
  ASSERT_TRUE(parsed.ok()) << metadata;
  engine.index_object(parsed.value(), "", id);
}

MaybeIds run(FilterEngine& engine, std::string_view filter) {
  Result<OptionalIds> result = engine.apply_filter(filter);
  EXPECT_TRUE(result.ok()) << filter;
  if (!result.ok() || !result.value()) return std::nullopt;
  return ids_of(*result.value());
}

// A strict engine's result, which is always determined.
Ids run_strict(FilterEngine& engine, std::string_view filter) {
  const MaybeIds ids = run(engine, filter);
  EXPECT_TRUE(ids.has_value()) << filter;
  return ids.value_or(Ids{});
}

TEST(SipHash, PublishedSipHash24Vectors) {
  std::string message;
  for (int i = 0; i < 64; ++i) message.push_back(static_cast<char>(i));
  const uint64_t key0 = 0x0706050403020100ULL;
  const uint64_t key1 = 0x0f0e0d0c0b0a0908ULL;
  const std::pair<size_t, uint64_t> vectors[] = {
      {0, 0x726fdb47dd0e0e31ULL}, {1, 0x74f839c593dc67fdULL}, {2, 0x0d6c8009d9a94f5aULL},
      {8, 0x93f5f5799a932462ULL}, {15, 0xa129ca6149be45e5ULL}};
  for (const auto& [length, expected] : vectors) {
    const std::string_view whole(message.data(), length);
    EXPECT_EQ(siphash(whole, {}, key0, key1, 2, 4), expected) << length;
    // Where the message is split between head and tail must not matter.
    for (size_t split = 0; split <= length; ++split) {
      EXPECT_EQ(siphash(whole.substr(0, split), whole.substr(split), key0, key1, 2, 4), expected);
    }
  }
}

TEST(SipHash, HashValueIsSipHash13OfTextAndFfByte) {
  EXPECT_EQ(FilterEngine::hash_value(""), siphash("\xff", {}, 0, 0, 1, 3));
  // Pinned values agree with an independent SipHash-1-3 keyed with zeros.
  EXPECT_EQ(FilterEngine::hash_value(""), 0x30406ea523c53defULL);
  EXPECT_EQ(FilterEngine::hash_value("red"), 0x14576403ef484498ULL);
  EXPECT_EQ(FilterEngine::hash_value("a somewhat longer text"), 0x108ffb9d4dbcc158ULL);
  EXPECT_NE(FilterEngine::hash_value("true"), FilterEngine::hash_value("true\xff"));
}

TEST(FieldIndex, PathsPresenceAndValueSets) {
  FilterEngine engine;
  add(engine, 1, R"({"a": {"b": 1}, "tags": ["x", "y"], "n": null, "f": true, "": {"k": "v"}})");
  add(engine, 2, R"({"a.b": 2.0, "f": "true", "x": 5})");
  add(engine, 3, R"({"x": 5.0})");

  const auto& presence = engine.field_presence.value;
  for (const char* path : {"a", "a.b", "tags", "n", "f", "", "k"}) EXPECT_TRUE(presence.at(path).contains(1)) << path;
  EXPECT_EQ(ids_of(presence.at("a.b")), (Ids{1, 2}));
  for (const char* path : {"a", "tags", "n", ""}) EXPECT_FALSE(engine.value_index.value.count(path)) << path;

  const ValueSets& flags = engine.value_index.value.at("f");
  EXPECT_EQ(flags.size(), 1u);  // bool true and string "true" share one set
  EXPECT_EQ(ids_of(flags.at(FilterEngine::hash_value("true"))), (Ids{1, 2}));
  EXPECT_EQ(engine.pending_numeric.value.at("a.b"), (std::vector<NumericPair>{{1.0, 1}, {2.0, 2}}));
  EXPECT_EQ(engine.pending_numeric.value.at("x"), (std::vector<NumericPair>{{5.0, 2}, {5.0, 3}}));
}

TEST(FieldIndex, ThresholdFlushMergesIntoTree) {
  FilterEngine engine;
  for (uint32_t id = 0; id < kNumericFlushThreshold - 1; ++id) add(engine, id, "{\"v\": " + std::to_string(id) + "}");
  EXPECT_TRUE(engine.numeric_trees.value.empty());
  add(engine, 4999, R"({"v": 4999})");
  EXPECT_TRUE(engine.pending_numeric.value.at("v").empty());
  EXPECT_EQ(engine.numeric_trees.value.at("v").id_count(), kNumericFlushThreshold);

  for (uint32_t id = 5000; id < 2 * kNumericFlushThreshold; ++id) add(engine, id, R"({"v": -1})");
  const IntervalTree& tree = engine.numeric_trees.value.at("v");
  EXPECT_EQ(tree.id_count(), 2 * kNumericFlushThreshold);
  EXPECT_EQ(tree.exact(-1).cardinality(), kNumericFlushThreshold);
  EXPECT_EQ(ids_of(tree.exact(4999)), (Ids{4999}));
}

TEST(FieldIndex, RemovalLeavesNumericIndex) {
  FilterEngine engine;
  add(engine, 7, R"({"c": "red", "p": 1, "q": 2})");
  add(engine, 8, R"({"c": "red", "p": 3})");
  engine.flush_pending();
  add(engine, 7, R"({"q": 2})");  // stays pending
  engine.remove_document(7);
  EXPECT_EQ(ids_of(engine.value_index.value.at("c").at(FilterEngine::hash_value("red"))), (Ids{8}));
  EXPECT_EQ(ids_of(engine.field_presence.value.at("p")), (Ids{8}));
  EXPECT_EQ(ids_of(engine.all_docs.value), (Ids{8}));
  EXPECT_EQ(ids_of(engine.numeric_trees.value.at("p").exact(1)), (Ids{7}));
  EXPECT_EQ(engine.pending_numeric.value.at("q").size(), 1u);

  roaring::Roaring both;
  both.add(7);
  both.add(8);
  engine.remove_documents(both);
  EXPECT_TRUE(engine.all_docs.value.isEmpty());
  EXPECT_TRUE(engine.field_presence.value.at("c").isEmpty());
  EXPECT_EQ(run(engine, R"({"p": {"$lt": 5}})"), (Ids{7, 8}));
  EXPECT_EQ(run(engine, R"({"$not": {"c": {"$eq": "blue"}}})"), std::nullopt);
  EXPECT_EQ(run(engine, R"({"$not": {"c": {"$eq": "red"}}})"), Ids{});
}

class FilterLanguage : public ::testing::Test {
 protected:
  void SetUp() override {
    add(engine, 1, R"({"color": "red", "size": "L", "price": 10, "flag": true, "tags": ["a"], "user": {"age": 30}})");
    add(engine, 2, R"({"color": "blue", "size": "L", "price": 20, "flag": "true", "n": null, "big": 9007199254740993})");
    add(engine, 3, R"({"color": "red", "size": "M", "price": 30.5, "flag": false})");
    engine.add_document(4);  // metadata that is not an object
  }
  FilterEngine engine;
};

TEST_F(FilterLanguage, Table) {
  const Ids all = {1, 2, 3, 4};
  const std::pair<const char*, MaybeIds> cases[] = {
      {"{}", std::nullopt}, {"[]", std::nullopt}, {"\"x\"", std::nullopt}, {"5", std::nullopt},
      {R"({"size": {"$eq": "M"}, "color": {"$eq": "blue"}})", Ids{2}},  // only the first key counts
      {R"({"color": "red"})", std::nullopt},
      {R"({"$or": []})", Ids{}},
      {R"({"$or": [{"color": {"$eq": "purple"}}, {"color": {"$eq": "blue"}}]})", Ids{2}},
      {R"({"$not": {"$or": []}})", all},
      {R"({"$not": {"color": {"$eq": "purple"}}})", std::nullopt},
      {R"({"$and": []})", std::nullopt},
      {R"({"$and": [{"color": {"$eq": "purple"}}, {"size": {"$eq": "L"}}]})", Ids{1, 2}},
      {R"({"$and": [{"color": {"$eq": "blue"}}, {"size": {"$eq": "L"}}]})", Ids{2}},
      {R"({"$and": [{"color": {"$eq": "blue"}}, {"size": {"$eq": "M"}}, {"size": {"$eq": "L"}}]})", Ids{}},
      {R"({"color": {"$ne": "purple"}})", std::nullopt},
      {R"({"color": {"$ne": "red"}})", Ids{2, 4}},
      {R"({"price": {"$ne": 7}})", all},
      {R"({"color": {"$eq": 5}})", std::nullopt},   // no tree for the field
      {R"({"price": {"$eq": 11}})", Ids{}},         // tree, no such value
      {R"({"price": {"$eq": "10"}})", std::nullopt},  // numbers are never hashed
      {R"({"price": {"$eq": 10.0}})", Ids{1}},
      {R"({"big": {"$eq": 9007199254740992}})", Ids{2}},
      {R"({"flag": {"$eq": true}})", Ids{1, 2}},
      {R"({"flag": {"$in": ["false"]}})", Ids{3}},
      {R"({"price": {"$gt": 15}})", Ids{2, 3}},
      {R"({"price": {"$lte": 20, "$gt": 10}})", Ids{2}},
      {R"({"price": {"$gt": "5"}})", std::nullopt},
      {R"({"price": {"$gt": "5", "$lt": 25, "$whatever": 1}})", Ids{1, 2}},
      {R"({"price": {"$gt": 15}, "price": {"$lt": 25}})", Ids{1, 2}},
      {R"({"color": {"$eq ": "red"}})", std::nullopt},
      {R"({"tags": {"$in": ["a"]}})", Ids{}},
      {R"({"color": {"$in": ["red", "purple", null, 3]}})", Ids{1, 3}},
      {R"({"color": {"$in": "red"}})", std::nullopt},
      {R"({"color": {"$nin": ["red"]}})", Ids{2, 4}},
      {R"({"tags": {"$exists": true}})", Ids{1}},
      {R"({"n": {"$exists": false}})", Ids{1, 3, 4}},
      {R"({"n": {"$exists": "yes"}})", std::nullopt},
      {R"({"never_seen": {"$exists": false}})", std::nullopt},
      {R"({"user": {"age": {"$gt": 3}}})", std::nullopt},
      {R"({"user.age": {"$gt": 3}})", Ids{1}},
  };
  for (const auto& [filter, expected] : cases) EXPECT_EQ(run(engine, filter), expected) << filter;
}

TEST_F(FilterLanguage, ResultsAreCopiesNotIndexSets) {
  for (const char* filter : {R"({"color": {"$eq": "red"}})", R"({"tags": {"$exists": true}})",
                             R"({"price": {"$lt": 100}})", R"({"$not": {"$or": []}})"}) {
    Result<OptionalIds> first = engine.apply_filter(filter);
    first.value()->add(99);
    const MaybeIds again = run(engine, filter);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(std::count(again->begin(), again->end(), 99u), 0) << filter;
  }
}

TEST_F(FilterLanguage, ParseErrorStillFlushes) {
  add(engine, 5, R"({"price": 1})");
  Result<OptionalIds> result = engine.apply_filter("{");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, ErrorKind::kValue);
  EXPECT_EQ(result.error().message, "EOF while parsing an object at line 1 column 1");
  EXPECT_TRUE(engine.pending_numeric.value.empty());
  EXPECT_EQ(ids_of(engine.numeric_trees.value.at("price").exact(1)), (Ids{5}));
}

class StrictFilterLanguage : public ::testing::Test {
 protected:
  void SetUp() override {
    add(engine, 1, R"({"color": "red", "size": "L", "price": 10, "flag": true, "tags": ["a"], "user": {"age": 30}})");
    add(engine, 2, R"({"color": "blue", "size": "L", "price": 20, "flag": "true", "n": null, "big": 9007199254740993})");
    add(engine, 3, R"({"color": "red", "size": "M", "price": 30.5, "flag": false})");
    engine.add_document(4);  // metadata that is not an object
  }
  FilterEngine engine{FilterDialect::kStrict};
};

// Where the contract leaves a clause undetermined or reads one member only, the strict
// dialect decides every clause and every member must hold.
TEST_F(StrictFilterLanguage, Table) {
  const Ids all = {1, 2, 3, 4};
  const std::pair<const char*, Ids> cases[] = {
      {"{}", all},
      {R"({"size": "M", "color": "blue"})", Ids{}},
      {R"({"size": "L", "color": "blue"})", Ids{2}},
      {R"({"color": "purple"})", Ids{}},
      {R"({"$or": []})", Ids{}},
      {R"({"$and": []})", all},
      {R"({"$not": {"color": "purple"}})", all},
      {R"({"$and": [{"color": "purple"}, {"size": "L"}]})", Ids{}},
      {R"({"color": {"$ne": "purple"}})", all},
      {R"({"color": {"$ne": "red"}})", Ids{2, 4}},
      {R"({"color": 5})", Ids{}},  // no numbers in the field
      {R"({"color": {"$gt": 1}})", Ids{}},
      {R"({"price": "10"})", Ids{}},
      {R"({"price": 10.0})", Ids{1}},
      {R"({"price": {"$gte": 10, "$lt": 30}})", Ids{1, 2}},
      {R"({"price": {"$gt": 15}, "size": "L"})", Ids{2}},
      {R"({"big": 9007199254740992})", Ids{2}},
      {R"({"flag": true})", Ids{1}},  // bools and strings no longer meet
      {R"({"flag": "true"})", Ids{2}},
      {R"({"flag": {"$ne": true}})", Ids{2, 3, 4}},
      {R"({"flag": {"$in": [false, "true", 7]}})", Ids{2, 3}},
      {R"({"color": {"$nin": ["red", 3]}})", Ids{2, 4}},
      {R"({"never": {"$exists": true}})", Ids{}},
      {R"({"never": {"$exists": false}})", all},
      {R"({"tags": {"$exists": true}})", Ids{1}},
      {R"({"user.age": 30, "$or": [{"size": "M"}, {"color": "red"}]})", Ids{1}},
      {R"({"$not": {"color": "red"}, "price": {"$lt": 25}})", Ids{2}},
  };
  for (const auto& [filter, expected] : cases) EXPECT_EQ(run_strict(engine, filter), expected) << filter;
}

// An id added again matches its earlier strings too, and answers as its smallest number.
TEST_F(StrictFilterLanguage, AddedAgainMatchesEarlierValues) {
  add(engine, 3, R"({"price": 0.5, "color": "green"})");
  EXPECT_EQ(run_strict(engine, R"({"price": {"$lt": 5}})"), (Ids{3}));
  EXPECT_EQ(run_strict(engine, R"({"price": 30.5})"), Ids{});
  EXPECT_EQ(run_strict(engine, R"({"color": "red"})"), (Ids{1, 3}));
  EXPECT_EQ(run_strict(engine, R"({"color": "green"})"), (Ids{3}));
}

// The check reads the filter alone: a fault is refused wherever it stands, even behind a
// clause that selects nothing, and nothing is evaluated.
TEST_F(StrictFilterLanguage, FaultsAreRefusedWhateverTheDocuments) {
  for (const char* filter : {R"({"$and": [{"color": "purple"}, {"color": {"$regex": "r"}}]})",
                             R"({"$or": [{"size": "L"}, {"size": {"$in": "L"}}]})", "[]"}) {
    Result<OptionalIds> result = engine.apply_filter(filter);
    ASSERT_FALSE(result.ok()) << filter;
    EXPECT_EQ(result.error().kind, ErrorKind::kValue);
    EXPECT_EQ(result.error().message.rfind("filter: ", 0), 0u) << result.error().message;
  }
}

TEST(StrictFilterEngine, BoolsAreHashedApartFromStrings) {
  FilterEngine contract;
  FilterEngine strict(FilterDialect::kStrict);
  EXPECT_EQ(contract.hash_bool(true), FilterEngine::hash_value("true"));
  EXPECT_NE(strict.hash_bool(true), FilterEngine::hash_value("true"));
  EXPECT_NE(strict.hash_bool(false), FilterEngine::hash_value("false"));
  EXPECT_NE(strict.hash_bool(true), strict.hash_bool(false));
  // Batch indexing hashes as the engine's dialect does.
  Result<JsonValue> text = parse_json(R"({"f": "true"})");
  Result<JsonValue> flag = parse_json(R"({"f": true})");
  const IndexedDocument documents[] = {{1, &text.value()}, {2, &flag.value()}};
  strict.index_batch(documents);
  add(strict, 3, R"({"f": true})");
  EXPECT_EQ(run_strict(strict, R"({"f": true})"), (Ids{2, 3}));
  EXPECT_EQ(run_strict(strict, R"({"f": "true"})"), (Ids{1}));
}

// Batch indexing must leave the engine as indexing one document at a time does, with or
// without holding due numbers back, including values within the grouping tolerance of
// each other (where the points of the tree rebuilds matter) and repeated ids.
TEST(FilterEngineBatch, IndexBatchEqualsIndexingOneByOne) {
  const std::vector<std::string> numbers = {"1.0", "1.0000000005", "0.9999999995", "2", "-0.0", "0.0", "7.5", "-3"};
  for (const bool near_values : {false, true}) {
    for (const bool hold : {false, true}) {
      std::mt19937 random(near_values * 2 + hold);
      std::vector<std::string> texts;
      std::vector<uint32_t> ids;
      for (int i = 0; i < 12000; ++i) {
        // Near values arrive late: 0.9999999995 regroups 1.0 and 1.0000000005 only once
        // the tree has already put both into one group.
        const size_t choices = i < 6000 ? 2 : numbers.size();
        const std::string number = near_values ? numbers[random() % choices] : std::to_string(random() % 100000);
        texts.push_back("{\"n\": " + number + ", \"c\": \"" + std::to_string(random() % 7) + "\", \"o\": {\"m\": " +
                        std::to_string(random() % 5) + ", \"b\": " + (random() % 2 ? "true" : "false") + "}, \"a\": [1]" +
                        (random() % 3 ? "" : ", \"z\": null") + "}");
        ids.push_back(random() % 9000);
      }
      std::vector<Result<JsonValue>> parsed;
      for (const auto& text : texts) parsed.push_back(parse_json(text));

      FilterEngine one_by_one;
      for (size_t i = 0; i < texts.size(); ++i) {
        one_by_one.add_document(ids[i]);
        one_by_one.index_object(parsed[i].value(), "", ids[i]);
      }
      FilterEngine batched;
      HeldNumbers held;
      for (size_t begin = 0; begin < texts.size();) {
        const size_t end = std::min(texts.size(), begin + 1 + random() % 3000);
        std::vector<IndexedDocument> documents;
        for (size_t i = begin; i < end; ++i) documents.push_back({ids[i], &parsed[i].value()});
        batched.index_batch(documents, hold ? &held : nullptr);
        begin = end;
      }
      batched.flush_held(held);

      std::vector<std::string> filters = {"{\"z\": {\"$exists\": true}}", "{\"a\": {\"$exists\": false}}",
                                          "{\"o.b\": {\"$eq\": true}}", "{\"c\": {\"$ne\": \"3\"}}"};
      for (const std::string& number : numbers) {
        for (const char* op : {"$eq", "$lt", "$lte", "$gt", "$gte", "$ne"}) {
          filters.push_back(std::string("{\"n\": {\"") + op + "\": " + number + "}}");
        }
      }
      for (int value : {0, 3, 50000, 99999}) filters.push_back("{\"n\": {\"$gte\": " + std::to_string(value) + "}}");
      for (int value = 0; value < 5; ++value) filters.push_back("{\"o.m\": {\"$lt\": " + std::to_string(value) + "}}");
      for (const std::string& filter : filters) {
        EXPECT_EQ(run(batched, filter), run(one_by_one, filter)) << filter << " near " << near_values << " hold " << hold;
      }
    }
  }
}

}  // namespace
}  // namespace vendrel
