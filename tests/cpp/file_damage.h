// Damage checks shared by the tests of the checkpoint files' readers.
#pragma once

#include <cstddef>
#include <string>

#include <gtest/gtest.h>

namespace vendrel {

// Every one-bit flip of a file's `bytes` must be refused with an error naming `path`
// and a byte offset, and every cut (the manifest entry's size agreeing with it) must be
// refused. load(variant, entry) reads a variant of the bytes against an entry.
template <typename Entry, typename Load>
void expect_every_flip_and_cut_refused(const std::string& path, const std::string& bytes, const Entry& entry,
                                       Load load) {
  for (size_t bit = 0; bit < bytes.size() * 8; ++bit) {
    std::string damaged = bytes;
    damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
    auto result = load(damaged, entry);
    ASSERT_FALSE(result.ok()) << bit;
    ASSERT_EQ(result.error().message.rfind(path + ": byte offset ", 0), 0u) << result.error().message;
  }
  for (size_t length = 0; length < bytes.size(); ++length) {
    Entry agreeing = entry;
    agreeing.size = length;
    ASSERT_FALSE(load(bytes.substr(0, length), agreeing).ok()) << length;
  }
}

}  // namespace vendrel
