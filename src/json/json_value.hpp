// JsonValue: the one value tree behind every request, response, bridge reply and signed payload.
// Six kinds; numbers keep one of three forms (unsigned 64-bit, negative signed 64-bit, finite
// double) so that integers travel exactly; strings are always valid UTF-8 and may hold NUL;
// objects keep their member names unique and in ascending byte order, which is the order every
// reader iterates and the writer emits, so the canonical bytes of a payload never depend on how
// its members arrived.
//
// A value is 16 bytes and a member 32, and neither points into itself, so moving one is a copy of
// its bytes. Scalars and strings of up to 14 bytes live inside the value. Longer strings, arrays
// and objects hold one block each, which is owned in one of three ways:
// - built by a caller (string, push_back, insert): the block is the value's own heap allocation,
//   and the value owns its elements one by one;
// - the root of a parsed tree: every block of the tree lies in one arena, which the root owns and
//   frees at once; a parse costs a handful of allocations however large the text;
// - inside a parsed tree: the block belongs to the root's arena. Such values are reachable only
//   through const access, so no move can take one out of its tree; a copy is a deep copy that
//   owns its blocks again, and changing a parsed root first turns it into such a copy.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

namespace ktarn::json {

class JsonMember;
class TreeBuilder;

enum class Kind { kNull, kBoolean, kNumber, kString, kArray, kObject };
enum class NumberForm { kUnsigned, kNegative, kDouble };

class JsonValue {
 public:
  JsonValue() noexcept { slot_.scalar = {Tag::kNull, 0}; }  // null
  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept : slot_(other.slot_) { other.slot_.scalar = {}; }
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue() {
    if (has_block()) release();
  }

  static JsonValue boolean(bool value) { return scalar(Tag::kBoolean, value ? 1 : 0); }
  static JsonValue unsigned_integer(std::uint64_t value) { return scalar(Tag::kUnsigned, value); }
  // Precondition: value < 0; the negative form never holds zero or a positive value.
  static JsonValue negative_integer(std::int64_t value) {
    return scalar(Tag::kNegative, static_cast<std::uint64_t>(value));
  }
  // NaN and the infinities cannot be held: they give null.
  static JsonValue number(double value);
  // Precondition: value is valid UTF-8.
  static JsonValue string(std::string_view value);
  static JsonValue array(std::initializer_list<JsonValue> elements = {});
  static JsonValue object();

  Kind kind() const;
  bool is_null() const { return tag() == Tag::kNull; }

  std::optional<bool> as_boolean() const;
  std::optional<NumberForm> number_form() const;
  std::optional<std::uint64_t> as_unsigned() const;  // unsigned form only
  std::optional<std::int64_t> as_negative() const;   // negative form only
  std::optional<double> as_double() const;           // double form only
  // The signed 64-bit view: the unsigned form up to 2^63-1 and every negative value; never a
  // double, not even 1.0.
  std::optional<std::int64_t> as_signed_integer() const;
  std::optional<std::string_view> as_string() const;           // strings only
  std::optional<std::span<const JsonValue>> as_array() const;  // arrays only
  // Objects only; the members in ascending name order, names unique.
  std::optional<std::span<const JsonMember>> as_members() const;

  // Arrays: append. Precondition: kind() == kArray.
  void push_back(JsonValue element);
  // Objects: insert, replacing the value of a name already present. Precondition: kObject.
  void insert(std::string_view name, JsonValue value);

  // Exact structural equality (doubles compared by value, -0.0 == 0.0 is false by bits).
  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  friend class JsonMember;
  friend class TreeBuilder;

  // The kinds that hold a block come last.
  enum class Tag : std::uint8_t {
    kNull,
    kBoolean,
    kUnsigned,
    kNegative,
    kDouble,
    kShortString,
    kString,
    kArray,
    kObject
  };
  enum class Storage : std::uint8_t { kOwned, kTreeRoot, kInTree };
  static constexpr std::size_t kShortStringMax = 14;

  // Every layout starts with the tag, so it can be read whichever layout is in use.
  struct Scalar {
    Tag tag;
    std::uint64_t bits;  // a double by its bits
  };
  struct ShortString {
    Tag tag;
    std::uint8_t size;
    char bytes[kShortStringMax];
  };
  // The size has 48 bits, more than any address space gives a process.
  struct Block {
    Tag tag;
    Storage storage;
    std::uint16_t size_high;
    std::uint32_t size_low;
    void* data;
  };
  union Slot {
    Scalar scalar;
    ShortString short_string;
    Block block;
  };

  explicit JsonValue(const Slot& slot) noexcept : slot_(slot) {}
  // Precondition: slot holds a string.
  static std::string_view view_of(const Slot& slot) {
    if (slot.scalar.tag == Tag::kShortString) {
      return std::string_view(slot.short_string.bytes, slot.short_string.size);
    }
    return std::string_view(static_cast<const char*>(slot.block.data), size_of(slot.block));
  }
  static std::size_t size_of(const Block& block) {
    return static_cast<std::size_t>(std::uint64_t{block.size_high} << 32 | block.size_low);
  }

  static JsonValue scalar(Tag tag, std::uint64_t bits) {
    JsonValue v;
    v.slot_.scalar = {tag, bits};
    return v;
  }
  static Block block(Tag tag, Storage storage, std::size_t size, void* data) {
    return Block{tag, storage, static_cast<std::uint16_t>(static_cast<std::uint64_t>(size) >> 32),
                 static_cast<std::uint32_t>(size), data};
  }
  static std::size_t owned_capacity(std::size_t size);
  static JsonValue copy_block(const JsonValue& other);

  Tag tag() const { return slot_.scalar.tag; }
  bool has_block() const { return tag() >= Tag::kString; }
  std::size_t size() const { return size_of(slot_.block); }
  void set_size(std::size_t size) {
    slot_.block = block(tag(), slot_.block.storage, size, slot_.block.data);
  }
  JsonValue* elements() const { return static_cast<JsonValue*>(slot_.block.data); }
  JsonMember* members() const { return static_cast<JsonMember*>(slot_.block.data); }

  void release() noexcept;
  void own_blocks();
  void make_room();

  Slot slot_;
};

// A name and its value inside an object.
class JsonMember {
 public:
  // Precondition: name is valid UTF-8.
  JsonMember(std::string_view name, JsonValue value)
      : name_(JsonValue::string(name)), value_(std::move(value)) {}

  std::string_view name() const { return *name_.as_string(); }
  const JsonValue& value() const { return value_; }

 private:
  friend class JsonValue;
  friend class TreeBuilder;
  // Precondition: name is a string.
  JsonMember(JsonValue&& name, JsonValue&& value) noexcept
      : name_(std::move(name)), value_(std::move(value)) {}

  JsonValue name_;
  JsonValue value_;
};

static_assert(sizeof(JsonValue) == 16 && sizeof(JsonMember) == 32);

inline JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    // Taken out first: other may live inside the tree this value is about to drop.
    const Slot taken = other.slot_;
    other.slot_.scalar = {};
    if (has_block()) release();
    slot_ = taken;
  }
  return *this;
}

inline Kind JsonValue::kind() const {
  constexpr Kind kKinds[] = {Kind::kNull,   Kind::kBoolean, Kind::kNumber,
                             Kind::kNumber, Kind::kNumber,  Kind::kString,
                             Kind::kString, Kind::kArray,   Kind::kObject};
  return kKinds[static_cast<int>(tag())];
}

inline std::optional<bool> JsonValue::as_boolean() const {
  if (tag() == Tag::kBoolean) return slot_.scalar.bits != 0;
  return std::nullopt;
}

inline std::optional<NumberForm> JsonValue::number_form() const {
  switch (tag()) {
    case Tag::kUnsigned:
      return NumberForm::kUnsigned;
    case Tag::kNegative:
      return NumberForm::kNegative;
    case Tag::kDouble:
      return NumberForm::kDouble;
    default:
      return std::nullopt;
  }
}

inline std::optional<std::uint64_t> JsonValue::as_unsigned() const {
  if (tag() == Tag::kUnsigned) return slot_.scalar.bits;
  return std::nullopt;
}

inline std::optional<std::int64_t> JsonValue::as_negative() const {
  if (tag() == Tag::kNegative) return static_cast<std::int64_t>(slot_.scalar.bits);
  return std::nullopt;
}

inline std::optional<double> JsonValue::as_double() const {
  if (tag() == Tag::kDouble) return std::bit_cast<double>(slot_.scalar.bits);
  return std::nullopt;
}

inline std::optional<std::string_view> JsonValue::as_string() const {
  if (tag() == Tag::kShortString || tag() == Tag::kString) return view_of(slot_);
  return std::nullopt;
}

inline std::optional<std::span<const JsonValue>> JsonValue::as_array() const {
  if (tag() == Tag::kArray) return std::span<const JsonValue>(elements(), size());
  return std::nullopt;
}

inline std::optional<std::span<const JsonMember>> JsonValue::as_members() const {
  if (tag() == Tag::kObject) return std::span<const JsonMember>(members(), size());
  return std::nullopt;
}

// The member with exactly that name (byte for byte), or nullptr when value is not an object or
// has no such member.
const JsonValue* find_member(const JsonValue& value, std::string_view name);

}  // namespace ktarn::json
