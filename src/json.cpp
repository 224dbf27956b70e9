#include "json.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <cstring>

#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

namespace vendrel {

double JsonValue::as_double() const {
  switch (kind) {
    case Kind::kUint: return static_cast<double>(uint_number);
    case Kind::kInt: return static_cast<double>(int_number);
    case Kind::kDouble: return double_number;
    default: return 0.0;
  }
}

namespace {

// Reads a string_view that need not be NUL-terminated. The reader takes '\0' as the end
// of input, so an embedded NUL byte also looks like the end; parse_json checks that the
// whole text was consumed.
class BoundedStream {
 public:
  using Ch = char;
  explicit BoundedStream(std::string_view text) : begin_(text.data()), cursor_(text.data()), end_(text.data() + text.size()) {}

  Ch Peek() const { return cursor_ < end_ ? *cursor_ : '\0'; }
  Ch Take() { return cursor_ < end_ ? *cursor_++ : '\0'; }
  size_t Tell() const { return static_cast<size_t>(cursor_ - begin_); }

  // Write side, required by the stream concept; never used without the in-situ flag.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

 private:
  const char* begin_;
  const char* cursor_;
  const char* end_;
};

// True when `bytes` holds a UTF-8 encoded surrogate (ED A0..BF ..). The reader validates
// raw text, so such bytes can only come from an unpaired "\uDCxx" escape.
bool has_encoded_surrogate(const char* bytes, size_t length) {
  const char* cursor = bytes;
  const char* end = bytes + length;
  while (cursor < end) {
    const void* found = std::memchr(cursor, 0xED, static_cast<size_t>(end - cursor));
    if (found == nullptr) return false;
    const char* lead = static_cast<const char*>(found);
    if (lead + 1 < end && static_cast<unsigned char>(lead[1]) >= 0xA0) return true;
    cursor = lead + 1;
  }
  return false;
}

// Sorts members by key (byte order) and keeps the last of each repeated key. Objects
// are small as a rule: an insertion sort (stable, no buffer to allocate) up to a few
// dozen members, the library's stable sort beyond.
void normalize_members(std::vector<JsonMember>& members) {
  const auto by_key = [](const JsonMember& left, const JsonMember& right) { return left.key < right.key; };
  constexpr size_t kInsertionSortLimit = 32;
  if (members.size() <= kInsertionSortLimit) {
    for (size_t i = 1; i < members.size(); ++i) {
      if (!by_key(members[i], members[i - 1])) continue;
      JsonMember moving = std::move(members[i]);
      size_t j = i;
      for (; j > 0 && by_key(moving, members[j - 1]); --j) members[j] = std::move(members[j - 1]);
      members[j] = std::move(moving);
    }
  } else {
    std::stable_sort(members.begin(), members.end(), by_key);
  }
  size_t kept = 0;
  for (size_t i = 0; i < members.size(); ++i) {
    const bool superseded = i + 1 < members.size() && members[i + 1].key == members[i].key;
    if (superseded) continue;
    if (kept != i) members[kept] = std::move(members[i]);
    ++kept;
  }
  members.resize(kept);
}

// Builds the JsonValue tree from the reader's events with an explicit stack of open
// containers, so the only recursion is the reader's own, bounded by kJsonMaxDepth.
class TreeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TreeBuilder> {
 public:
  struct OpenContainer {
    JsonValue value;
    std::string pending_key;
  };

  bool Null() { return finish_value(JsonValue{}); }
  bool Bool(bool flag) {
    JsonValue value;
    value.kind = JsonValue::Kind::kBool;
    value.boolean = flag;
    return finish_value(std::move(value));
  }
  bool Int(int number) { return signed_number(number); }
  bool Int64(int64_t number) { return signed_number(number); }
  bool Uint(unsigned number) { return unsigned_number(number); }
  bool Uint64(uint64_t number) { return unsigned_number(number); }
  // Numbers arrive as their literal text: the library's own full-precision conversion
  // misreads a zero significand with a large exponent ("0e40"), so the conversion is
  // done here, correctly rounded. Integer literals that fit stay integers.
  bool RawNumber(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    const char* end = text + length;
    const bool integral = std::none_of(text, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; });
    if (integral && text[0] == '-') {
      int64_t number = 0;
      const auto [stop, error] = std::from_chars(text, end, number);
      if (error == std::errc() && stop == end) return signed_number(number);
    } else if (integral) {
      uint64_t number = 0;
      const auto [stop, error] = std::from_chars(text, end, number);
      if (error == std::errc() && stop == end) return unsigned_number(number);
    }
    double number = 0.0;
    const auto [stop, error] = std::from_chars(text, end, number);
    if (error == std::errc::result_out_of_range) {
      // Overflow becomes infinity (refused below); underflow rounds towards zero.
      number = std::strtod(std::string(text, length).c_str(), nullptr);
    }
    return Double(number);
  }
  bool Double(double number) {
    if (!std::isfinite(number)) return fail("number out of range", false);
    JsonValue value;
    value.kind = JsonValue::Kind::kDouble;
    value.double_number = number;
    return finish_value(std::move(value));
  }
  bool String(const char* bytes, rapidjson::SizeType length, bool) {
    if (has_encoded_surrogate(bytes, length)) return fail("lone trailing surrogate in hex escape", true);
    JsonValue value;
    value.kind = JsonValue::Kind::kString;
    value.text.assign(bytes, length);
    return finish_value(std::move(value));
  }
  bool Key(const char* bytes, rapidjson::SizeType length, bool) {
    if (has_encoded_surrogate(bytes, length)) return fail("lone trailing surrogate in hex escape", true);
    open_.back().pending_key.assign(bytes, length);
    return true;
  }
  bool StartObject() { return open_container(JsonValue::Kind::kObject); }
  bool StartArray() { return open_container(JsonValue::Kind::kArray); }
  bool EndObject(rapidjson::SizeType) {
    normalize_members(open_.back().value.members);
    return close_container();
  }
  bool EndArray(rapidjson::SizeType) { return close_container(); }

  JsonValue& root() { return root_; }
  // Innermost open container, or nullptr at top level.
  const JsonValue* innermost() const { return open_.empty() ? nullptr : &open_.back().value; }
  // Set when a handler refused an event: why, and whether the reader's offset is one
  // byte past the offending one.
  const char* refusal() const { return refusal_; }
  bool refusal_points_past() const { return refusal_points_past_; }

 private:
  std::vector<OpenContainer> open_;
  JsonValue root_;
  const char* refusal_ = nullptr;
  bool refusal_points_past_ = false;

  bool fail(const char* reason, bool points_past) {
    refusal_ = reason;
    refusal_points_past_ = points_past;
    return false;
  }
  bool signed_number(int64_t number) {
    if (number >= 0) return unsigned_number(static_cast<uint64_t>(number));
    JsonValue value;
    value.kind = JsonValue::Kind::kInt;
    value.int_number = number;
    return finish_value(std::move(value));
  }
  bool unsigned_number(uint64_t number) {
    JsonValue value;
    value.kind = JsonValue::Kind::kUint;
    value.uint_number = number;
    return finish_value(std::move(value));
  }
  bool open_container(JsonValue::Kind kind) {
    if (open_.size() >= static_cast<size_t>(kJsonMaxDepth)) return fail("recursion limit exceeded", true);
    open_.emplace_back();
    open_.back().value.kind = kind;
    return true;
  }
  bool close_container() {
    JsonValue finished = std::move(open_.back().value);
    open_.pop_back();
    return finish_value(std::move(finished));
  }
  bool finish_value(JsonValue value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return true;
    }
    OpenContainer& parent = open_.back();
    if (parent.value.kind == JsonValue::Kind::kArray) {
      parent.value.elements.push_back(std::move(value));
    } else {
      parent.value.members.push_back(JsonMember{std::move(parent.pending_key), std::move(value)});
      parent.pending_key.clear();
    }
    return true;
  }
};

const char* eof_description(rapidjson::ParseErrorCode code, const JsonValue* innermost) {
  const bool in_string = code == rapidjson::kParseErrorStringMissQuotationMark;
  if (in_string) return "EOF while parsing a string";
  if (innermost == nullptr) return "EOF while parsing a value";
  return innermost->kind == JsonValue::Kind::kObject ? "EOF while parsing an object" : "EOF while parsing a list";
}

const char* code_description(rapidjson::ParseErrorCode code, unsigned char offending_byte) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty:
    case kParseErrorValueInvalid: return "expected value";
    case kParseErrorDocumentRootNotSingular: return "trailing characters";
    case kParseErrorObjectMissName: return "key must be a string";
    case kParseErrorObjectMissColon: return "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket: return "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket: return "expected `,` or `]`";
    case kParseErrorStringUnicodeSurrogateInvalid: return "lone leading surrogate in hex escape";
    case kParseErrorStringInvalidEncoding: return "invalid unicode code point";
    case kParseErrorNumberTooBig: return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent: return "invalid number";
    case kParseErrorStringMissQuotationMark:  // a raw NUL byte before the end
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case kParseErrorStringEscapeInvalid:
      // The reader reports raw control characters with this code, at their own offset.
      if (offending_byte < 0x20) return "control character (\\u0000-\\u001F) found while parsing a string";
      return "invalid escape";
    case kParseErrorStringUnicodeEscapeInvalidHex: return "invalid escape";
    default: return "invalid syntax";
  }
}

Error syntax_error(std::string_view text, const char* description, size_t offset) {
  offset = std::min(offset, text.size());
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  // The column counts the offending byte itself; at the end of input there is none.
  const size_t column = offset < text.size() ? offset - line_start + 1 : offset - line_start;
  return value_error(std::string(description) + " at line " + std::to_string(line) + " column " +
                     std::to_string(column));
}

}  // namespace

Result<JsonValue> parse_json(std::string_view text) {
  constexpr unsigned kFlags = rapidjson::kParseFullPrecisionFlag | rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  BoundedStream stream(text);
  TreeBuilder builder;
  rapidjson::Reader reader;
  const rapidjson::ParseResult outcome = reader.Parse<kFlags>(stream, builder);

  if (outcome.IsError()) {
    const rapidjson::ParseErrorCode code = outcome.Code();
    size_t offset = outcome.Offset();
    if (code == rapidjson::kParseErrorTermination && builder.refusal() != nullptr) {
      if (builder.refusal_points_past() && offset > 0) --offset;
      return syntax_error(text, builder.refusal(), offset);
    }
    if (offset >= text.size()) return syntax_error(text, eof_description(code, builder.innermost()), offset);
    return syntax_error(text, code_description(code, static_cast<unsigned char>(text[offset])), offset);
  }
  // The reader stops at an embedded NUL byte as if the text ended there.
  if (stream.Tell() < text.size()) return syntax_error(text, "trailing characters", stream.Tell());
  return std::move(builder.root());
}

}  // namespace vendrel
