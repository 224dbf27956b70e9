#include "write_ahead_log.h"

#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crc32c.h"
#include "power_loss.h"
#include "temp_directory.h"

namespace vendrel {
namespace {

std::span<const uint8_t> as_bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Appends a call made of the given pieces.
uint64_t append(LogWriter& writer, const std::vector<std::string>& pieces, bool sync = false) {
  std::vector<std::span<const uint8_t>> spans;
  for (const std::string& piece : pieces) spans.push_back(as_bytes(piece));
  Result<uint64_t> sequence = writer.append_call(spans, sync);
  EXPECT_TRUE(sequence.ok()) << sequence.error().message;
  return sequence.ok() ? sequence.value() : 0;
}

struct Replayed {
  std::vector<std::string> calls;  // each call's payload, records joined
  Result<LogRecovery> recovery = LogRecovery{};
};

Replayed replay(const std::string& path, std::optional<uint64_t> first_sequence = 7) {
  Replayed out;
  out.recovery = replay_log(path, first_sequence, [&](const LogCall& call) {
    std::string joined;
    for (const auto& payload : call.payloads) joined.append(reinterpret_cast<const char*>(payload.data()), payload.size());
    out.calls.push_back(joined);
    return ok_status();
  });
  return out;
}

// The same as replay, from bytes in memory (the damage tests read thousands of variants).
Replayed replay_bytes(const std::string& bytes, const std::string& path) {
  Replayed out;
  LogReader reader(path, as_bytes(bytes), 7);
  while (true) {
    Result<std::optional<LogCall>> call = reader.next();
    if (!call.ok()) {
      out.recovery = call.error();
      return out;
    }
    if (!call.value()) break;
    std::string joined;
    for (const auto& payload : call.value()->payloads) joined.append(reinterpret_cast<const char*>(payload.data()), payload.size());
    out.calls.push_back(joined);
  }
  out.recovery = LogRecovery{reader.valid_end(), reader.torn_tail(), out.calls.size(), reader.next_sequence()};
  return out;
}

// Five calls in a small file: records of at most 8 payload bytes, so the third call
// spans five records and the last one two.
struct SmallLog {
  TempDirectory dir;
  std::string path = dir.file("log-1");
  std::vector<std::string> calls = {"alpha", "", "a call of many records", "x", "last call"};
  std::vector<uint64_t> ends;  // each call's end offset

  SmallLog() {
    Result<LogWriter> writer = LogWriter::open(path, 0, 7, /*max_record_payload=*/8);
    EXPECT_TRUE(writer.ok());
    append(writer.value(), {"al", "pha"});
    ends.push_back(writer.value().end_offset());
    append(writer.value(), {});
    ends.push_back(writer.value().end_offset());
    append(writer.value(), {"a call ", "", "of many", " records"});
    ends.push_back(writer.value().end_offset());
    append(writer.value(), {"x"});
    ends.push_back(writer.value().end_offset());
    append(writer.value(), {"last call"});
    ends.push_back(writer.value().end_offset());
  }
};

TEST(WriteAheadLogTest, CallsComeBackWholeInOrderAcrossRecords) {
  SmallLog log;
  Replayed back = replay(log.path);
  ASSERT_TRUE(back.recovery.ok()) << back.recovery.error().message;
  EXPECT_EQ(back.calls, log.calls);
  EXPECT_EQ(back.recovery.value().valid_end, log.ends.back());
  EXPECT_FALSE(back.recovery.value().torn_tail);
  EXPECT_EQ(back.recovery.value().next_sequence, 12u);

  // Reopening appends after the last call with the next number.
  Result<LogWriter> writer = LogWriter::open(log.path, log.ends.back(), 12, 8);
  ASSERT_TRUE(writer.ok());
  EXPECT_EQ(append(writer.value(), {"more"}), 12u);
  EXPECT_EQ(replay(log.path).calls.back(), "more");
  // A first sequence other than the file's is an error at offset 0.
  Replayed wrong = replay(log.path, 3);
  ASSERT_FALSE(wrong.recovery.ok());
  EXPECT_NE(wrong.recovery.error().message.find("byte offset 0: record 0 of call 7 where record 0 of call 3"),
            std::string::npos);
}

TEST(WriteAheadLogTest, EveryCutKeepsTheWholeCallsBeforeItAndDropsTheRest) {
  SmallLog log;
  const std::string bytes = read_bytes(log.path);
  for (size_t length = 0; length <= bytes.size(); ++length) {
    Replayed back = replay_bytes(bytes.substr(0, length), log.path);
    ASSERT_TRUE(back.recovery.ok()) << length << ": " << back.recovery.error().message;
    size_t whole = 0;
    while (whole < log.ends.size() && log.ends[whole] <= length) ++whole;
    ASSERT_EQ(back.calls, std::vector<std::string>(log.calls.begin(), log.calls.begin() + whole)) << length;
    const uint64_t valid_end = whole == 0 ? 0 : log.ends[whole - 1];
    EXPECT_EQ(back.recovery.value().valid_end, valid_end) << length;
    EXPECT_EQ(back.recovery.value().torn_tail, valid_end != length) << length;
  }
}

TEST(WriteAheadLogTest, EveryBitFlipIsAnErrorOrDropsOnlyTheLastCall) {
  SmallLog log;
  const std::string bytes = read_bytes(log.path);
  const uint64_t last_call_start = log.ends[log.ends.size() - 2];
  for (size_t bit = 0; bit < bytes.size() * 8; ++bit) {
    std::string damaged = bytes;
    damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
    Replayed back = replay_bytes(damaged, log.path);
    if (bit / 8 < last_call_start) {
      ASSERT_FALSE(back.recovery.ok()) << "bit " << bit;
      EXPECT_NE(back.recovery.error().message.find("log file " + log.path + ": byte offset "), std::string::npos);
    } else {
      ASSERT_TRUE(back.recovery.ok()) << "bit " << bit << ": " << back.recovery.error().message;
      EXPECT_TRUE(back.recovery.value().torn_tail);
      EXPECT_EQ(back.recovery.value().valid_end, last_call_start);
      EXPECT_EQ(back.calls, std::vector<std::string>(log.calls.begin(), log.calls.end() - 1)) << "bit " << bit;
    }
  }
}

TEST(WriteAheadLogTest, DamageBeforeGoodCallsNamesItsOffset) {
  SmallLog log;
  std::string bytes = read_bytes(log.path);
  // A payload byte of the third call's first record: the scan passes its other
  // records and stops at the fourth call.
  bytes[log.ends[1] + kLogRecordHeaderSize] ^= 0x10;
  write_bytes(log.path, bytes);
  Replayed back = replay(log.path);
  ASSERT_FALSE(back.recovery.ok());
  EXPECT_EQ(back.recovery.error().message,
            "log file " + log.path + ": byte offset " + std::to_string(log.ends[1]) +
                ": record checksum mismatch, followed by a valid record of another call at byte offset " +
                std::to_string(log.ends[2]));
}

TEST(WriteAheadLogTest, HolesInsideTheUnflushedLastCallAreATornTail) {
  SmallLog log;
  // A power loss may keep a later page of the last call and lose an earlier one.
  std::string bytes = read_bytes(log.path);
  const uint64_t last_start = log.ends[3];
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(last_start), bytes.begin() + static_cast<std::ptrdiff_t>(last_start + 20), '\0');
  write_bytes(log.path, bytes);
  Replayed back = replay(log.path);
  ASSERT_TRUE(back.recovery.ok()) << back.recovery.error().message;
  EXPECT_TRUE(back.recovery.value().torn_tail);
  EXPECT_EQ(back.calls.size(), 4u);

  // The writer reopened at the valid end cuts the tail off and carries on.
  Result<LogWriter> writer = LogWriter::open(log.path, back.recovery.value().valid_end, 11, 8);
  ASSERT_TRUE(writer.ok());
  append(writer.value(), {"again"});
  Replayed again = replay(log.path);
  ASSERT_TRUE(again.recovery.ok());
  EXPECT_EQ(again.calls.back(), "again");
  EXPECT_FALSE(again.recovery.value().torn_tail);
}

TEST(WriteAheadLogTest, NewerFormatIsAnErrorEvenAtTheTail) {
  TempDirectory dir;
  const std::string path = dir.file("log-1");
  Result<LogWriter> writer = LogWriter::open(path, 0, 0);
  ASSERT_TRUE(writer.ok());
  append(writer.value(), {"payload"});
  std::string bytes = read_bytes(path);
  bytes[12] = 2;  // version field; recompute the checksum as a newer writer would
  const uint32_t crc = crc32c_extend(crc32c(bytes.data() + 8, 24), bytes.data() + 32, bytes.size() - 32);
  std::memcpy(bytes.data() + 4, &crc, 4);
  write_bytes(path, bytes);
  Replayed back = replay(path, 0);
  ASSERT_FALSE(back.recovery.ok());
  EXPECT_NE(back.recovery.error().message.find("byte offset 0: record of format version 2, newer than this build"),
            std::string::npos);
}

TEST(WriteAheadLogTest, AFailedWriteLeavesNothingOfTheCall) {
  TempDirectory dir;
  const std::string path = dir.file("log-1");
  Result<LogWriter> writer = LogWriter::open(path, 0, 0, 1024);
  ASSERT_TRUE(writer.ok());
  append(writer.value(), {"kept"});
  const uint64_t kept_end = writer.value().end_offset();
  // A file size limit makes the big call's write fail part-way (EFBIG).
  struct rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = kept_end + 5000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const std::string big(20000, 'b');
  Result<uint64_t> failed = writer.value().append_call(std::vector<std::span<const uint8_t>>{as_bytes(big)}, false);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);
  ASSERT_FALSE(failed.ok());
  EXPECT_NE(failed.error().message.find("cannot write " + path), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(path), kept_end);
  EXPECT_EQ(writer.value().end_offset(), kept_end);
  // The writer goes on with the same sequence number.
  EXPECT_EQ(append(writer.value(), {"after"}), 1u);
  Replayed back = replay(path, 0);
  ASSERT_TRUE(back.recovery.ok());
  EXPECT_EQ(back.calls, (std::vector<std::string>{"kept", "after"}));
}

TEST(WriteAheadLogTest, SyncedCallsSurviveAPowerLossWithOneFlushPerCall) {
  TempDirectory dir;
  const std::string path = dir.file("log-1");
  int flushes = 0;
  PowerLossModel model(dir.path(), [&](const FlushEvent& event) { flushes += event.kind == FlushKind::kDataSync; });
  Result<LogWriter> writer = LogWriter::open(path, 0, 0, 16);
  ASSERT_TRUE(writer.ok());
  append(writer.value(), {std::string(100, 'a')}, /*sync=*/true);  // seven records, one flush
  EXPECT_EQ(flushes, 1);
  append(writer.value(), {"unsynced"}, /*sync=*/false);
  EXPECT_EQ(flushes, 1);

  TempDirectory after;
  model.materialize(after.path());
  Replayed back = replay(after.file("log-1"), 0);
  ASSERT_TRUE(back.recovery.ok());
  EXPECT_EQ(back.calls, (std::vector<std::string>{std::string(100, 'a')}));
}

}  // namespace
}  // namespace vendrel
