#include "base/base64.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ktarn {
namespace {

constexpr std::string_view kStandardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrlSafeAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kPad = '=';

// What each byte contributes to a group of three decoded bytes at each of the four places of a
// group of symbols: the symbol's six bits already shifted to their place and laid out in memory
// order, so that a group decodes with four lookups, three ORs and one four-byte store. A byte
// outside the alphabet ("=", white space and the other alphabet's two letters included) sets
// instead a bit of the fourth byte, which no symbol touches, so that one OR over the whole text
// tells whether any byte was not a symbol.
struct SymbolTables {
  std::array<std::array<std::uint32_t, 256>, 4> at;
};

constexpr std::uint32_t in_memory_order(std::uint32_t bits) {
  if constexpr (std::endian::native == std::endian::little) {
    return (bits >> 16 & 0xFF) | (bits & 0xFF00) | (bits & 0xFF) << 16;
  } else {
    return bits << 8;
  }
}
constexpr std::uint32_t kNotASymbol = std::endian::native == std::endian::little ? 1u << 24 : 1u;

constexpr SymbolTables make_symbol_tables(std::string_view alphabet) {
  SymbolTables tables{};
  for (auto& place : tables.at) place.fill(kNotASymbol);
  for (std::size_t place = 0; place < 4; ++place) {
    for (std::size_t value = 0; value < alphabet.size(); ++value) {
      tables.at[place][static_cast<unsigned char>(alphabet[value])] =
          in_memory_order(static_cast<std::uint32_t>(value) << (18 - 6 * place));
    }
  }
  return tables;
}
constexpr SymbolTables kStandardTables = make_symbol_tables(kStandardAlphabet);
constexpr SymbolTables kUrlSafeTables = make_symbol_tables(kUrlSafeAlphabet);

// The two symbols of every 12 bits, so that three bytes become four symbols by two lookups.
using SymbolPairs = std::array<std::array<char, 2>, 4096>;

constexpr SymbolPairs make_symbol_pairs(std::string_view alphabet) {
  SymbolPairs pairs{};
  for (std::size_t bits = 0; bits < pairs.size(); ++bits) {
    pairs[bits] = {alphabet[bits >> 6], alphabet[bits & 0x3F]};
  }
  return pairs;
}
constexpr SymbolPairs kStandardPairs = make_symbol_pairs(kStandardAlphabet);
constexpr SymbolPairs kUrlSafePairs = make_symbol_pairs(kUrlSafeAlphabet);

// Twelve bytes become sixteen symbols at a time where the CPU has SSSE3, for the long answer text
// of a large payload; one vector loop is kept, since a wider one bought too little (what each
// buys: bench/README.md, "Speed tricks"). Base64.WideEncodingMatchesAPlainEncoder holds both
// loops to the same text for every length around the blocks and every symbol at every place of a
// block.
//
// A symbol is its value plus a shift shared by the value's range: A-Z, a-z and 0-9, and the last
// two symbols each alone. Subtracting 51 with saturation leaves 0 for a-z, 1 to 10 for the digits
// and 11 and 12 for the last two; A-Z, which it also leaves at 0, is given 13.
struct WideSymbols {
  alignas(16) std::array<std::uint8_t, 16> shift_by_range{};
};
constexpr std::uint8_t kCapitalsRange = 13;

constexpr WideSymbols make_wide_symbols(std::string_view alphabet) {
  WideSymbols symbols;
  for (std::size_t value = 0; value < alphabet.size(); ++value) {
    const std::size_t range = value < 26 ? kCapitalsRange : value < 51 ? 0 : value - 51;
    symbols.shift_by_range[range] =
        static_cast<std::uint8_t>(static_cast<unsigned char>(alphabet[value]) - value);
  }
  return symbols;
}
constexpr WideSymbols kStandardWideSymbols = make_wide_symbols(kStandardAlphabet);
constexpr WideSymbols kUrlSafeWideSymbols = make_wide_symbols(kUrlSafeAlphabet);

#if defined(__x86_64__)
// SSSE3's byte shuffle, which the sixteen-at-a-time loops below lean on.
bool has_ssse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}

// Encodes blocks of twelve bytes from in to out while sixteen can be read, and advances both.
__attribute__((target("ssse3"))) void encode_wide(const std::uint8_t*& in, const std::uint8_t* end,
                                                  char*& out, const WideSymbols& symbols) {
  const __m128i shift_by_range =
      _mm_load_si128(reinterpret_cast<const __m128i*>(symbols.shift_by_range.data()));
  // Each group's bytes b0 b1 b2 laid out as the 16-bit words b0:b1 and b1:b2, whose top and
  // bottom bits hold its first two and last two symbols.
  const __m128i group_words = _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  // The first and third symbols moved down to their bytes by a high multiply (x >> 10, x >> 6),
  // the second and fourth up to theirs by a low one (x << 4, x << 8).
  const __m128i outer_bits = _mm_set1_epi32(0x0FC0FC00);
  const __m128i outer_shift = _mm_set1_epi32(0x04000040);
  const __m128i inner_bits = _mm_set1_epi32(0x003F03F0);
  const __m128i inner_shift = _mm_set1_epi32(0x01000010);
  const __m128i last_of_a_to_z = _mm_set1_epi8(51);
  const __m128i capitals_end = _mm_set1_epi8(26);
  const __m128i capitals_range = _mm_set1_epi8(kCapitalsRange);
  for (; end - in >= 16; in += 12, out += 16) {
    const __m128i words =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), group_words);
    const __m128i values =
        _mm_or_si128(_mm_mulhi_epu16(_mm_and_si128(words, outer_bits), outer_shift),
                     _mm_mullo_epi16(_mm_and_si128(words, inner_bits), inner_shift));
    const __m128i range =
        _mm_or_si128(_mm_subs_epu8(values, last_of_a_to_z),
                     _mm_and_si128(_mm_cmpgt_epi8(capitals_end, values), capitals_range));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_add_epi8(values, _mm_shuffle_epi8(shift_by_range, range)));
  }
}

#endif

template <const SymbolPairs& pairs, const WideSymbols& wide>
std::string encode(ByteView bytes, bool padded) {
  const std::size_t whole = bytes.size() / 3 * 3;
  const std::size_t tail = bytes.size() - whole;
  const std::size_t size = whole / 3 * 4 + (tail == 0 ? 0 : padded ? 4 : tail + 1);
  std::string text;
  // Every byte is written below, so the room is not cleared first.
  text.resize_and_overwrite(size, [&](char* out, std::size_t) {
    const std::uint8_t* in = bytes.data();
#if defined(__x86_64__)
    // Block by block, then group by group.
    if (has_ssse3()) encode_wide(in, bytes.data() + bytes.size(), out, wide);
#endif
    for (const std::uint8_t* const end = bytes.data() + whole; in != end; in += 3, out += 4) {
      const std::uint32_t group = std::uint32_t{in[0]} << 16 | std::uint32_t{in[1]} << 8 | in[2];
      std::memcpy(out, pairs[group >> 12].data(), 2);
      std::memcpy(out + 2, pairs[group & 0xFFF].data(), 2);
    }
    if (tail != 0) {
      const std::uint32_t group = std::uint32_t{in[0]} << 16 | (tail == 2 ? in[1] << 8 : 0);
      char last[4];
      std::memcpy(last, pairs[group >> 12].data(), 2);
      std::memcpy(last + 2, pairs[group & 0xFFF].data(), 2);
      if (padded) last[2 + (tail == 2)] = last[3] = kPad;
      std::memcpy(out, last, size % 4 == 0 ? 4 : tail + 1);
    }
    return size;
  });
  return text;
}

// Sixteen symbols at a time where the CPU has SSSE3 (its byte shuffle serves as a 16-entry table
// lookup), for the verifier's reading of a large signed payload (bench/README.md, "Speed
// tricks"). Base64.StrictDecodersRejectABadByteAnywhere puts every kind of refused byte at
// every position of a text long enough for both loops, and the round trips of every length and
// every byte value hold the two loops to the same bytes.
//
// A byte's high nibble picks one bit (nibbles 8 to 15, bytes outside ASCII, share nibble 0's) and
// its low nibble the bits of the high nibbles for which it is not a symbol; the two lookups meet
// only for a byte outside the alphabet. A symbol's value is the byte plus a shift that depends on
// its high nibble alone, except for the alphabet's last symbol, which has a lookup slot of its
// own, above the ASCII nibbles.
struct WideTables {
  alignas(16) std::array<std::uint8_t, 16> not_a_symbol_by_low{};
  alignas(16) std::array<std::uint8_t, 16> bit_by_high{};
  alignas(16) std::array<std::uint8_t, 16> shift_by_high{};
  char last_symbol = 0;
};
constexpr std::uint8_t kOwnSlot = 8;

constexpr WideTables make_wide_tables(std::string_view alphabet) {
  WideTables tables;
  for (std::size_t low = 0; low < 16; ++low) {
    for (std::size_t high = 0; high < 8; ++high) {
      if (alphabet.find(static_cast<char>(high << 4 | low)) == std::string_view::npos) {
        tables.not_a_symbol_by_low[low] |= static_cast<std::uint8_t>(1u << high);
      }
    }
  }
  for (std::size_t high = 0; high < 16; ++high) {
    tables.bit_by_high[high] = static_cast<std::uint8_t>(high < 8 ? 1u << high : 1u);
  }
  for (std::size_t value = 0; value < alphabet.size(); ++value) {
    const auto symbol = static_cast<unsigned char>(alphabet[value]);
    const std::size_t slot = value + 1 < alphabet.size() ? symbol >> 4 : (symbol >> 4) ^ kOwnSlot;
    tables.shift_by_high[slot] = static_cast<std::uint8_t>(value - symbol);
  }
  tables.last_symbol = alphabet.back();
  return tables;
}
constexpr WideTables kStandardWide = make_wide_tables(kStandardAlphabet);
constexpr WideTables kUrlSafeWide = make_wide_tables(kUrlSafeAlphabet);

#if defined(__x86_64__)
// Decodes whole blocks of sixteen symbols from in to out, storing sixteen bytes for every twelve
// decoded (the room after out must allow it), and advances both. False when a byte was not a
// symbol.
__attribute__((target("ssse3"))) bool decode_wide(const unsigned char*& in,
                                                  const unsigned char* end, std::uint8_t*& out,
                                                  const WideTables& tables) {
  const auto table = [](const std::array<std::uint8_t, 16>& t) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(t.data()));
  };
  const __m128i not_a_symbol_by_low = table(tables.not_a_symbol_by_low);
  const __m128i bit_by_high = table(tables.bit_by_high);
  const __m128i shift_by_high = table(tables.shift_by_high);
  const __m128i last_symbol = _mm_set1_epi8(tables.last_symbol);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i own_slot = _mm_set1_epi8(kOwnSlot);
  // Two symbols into 12 bits (a * 64 + b), then two of those into 24 (ab * 4096 + cd), then the
  // three bytes of each group from the top down.
  const __m128i pair_weights = _mm_set1_epi32(0x01400140);
  const __m128i group_weights = _mm_set1_epi32(0x00011000);
  const __m128i group_bytes = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  __m128i refused = _mm_setzero_si128();
  for (; end - in >= 16; in += 16, out += 12) {
    const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i high = _mm_and_si128(_mm_srli_epi32(text, 4), nibble);
    const __m128i low = _mm_and_si128(text, nibble);
    refused = _mm_or_si128(refused, _mm_and_si128(_mm_shuffle_epi8(not_a_symbol_by_low, low),
                                                  _mm_shuffle_epi8(bit_by_high, high)));
    const __m128i slot =
        _mm_xor_si128(high, _mm_and_si128(_mm_cmpeq_epi8(text, last_symbol), own_slot));
    const __m128i values = _mm_add_epi8(text, _mm_shuffle_epi8(shift_by_high, slot));
    const __m128i groups = _mm_madd_epi16(_mm_maddubs_epi16(values, pair_weights), group_weights);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(groups, group_bytes));
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi8(refused, _mm_setzero_si128())) == 0xFFFF;
}
#endif

// The bytes of a run of symbols with the padding, if any, already taken off: every byte must be
// a symbol of the alphabet, and the bits of the last symbol beyond the final whole byte must be
// zero, as the encoder writes them, so that each byte sequence has one text. A run of 4k+1
// symbols ends in a symbol that carries no whole byte, which no byte sequence encodes to.
template <const SymbolTables& tables, const WideTables& wide>
std::optional<Bytes> decode_symbols(std::string_view symbols) {
  const std::size_t tail = symbols.size() % 4;
  if (tail == 1) return std::nullopt;
  // Room after the decoded bytes for the last store of either loop.
  constexpr std::size_t kStoreSpill = 4;
  const std::size_t decoded = symbols.size() / 4 * 3 + (tail == 0 ? 0 : tail - 1);
  Bytes bytes(decoded + kStoreSpill);
  const auto* in = reinterpret_cast<const unsigned char*>(symbols.data());
  const auto* const groups_end = in + (symbols.size() - tail);
  std::uint8_t* out = bytes.data();
  const auto& [first, second, third, fourth] = tables.at;
  // Not-a-symbol marks are gathered over the whole text and judged once: refusing early would
  // only speed up texts that are refused anyway.
  std::uint32_t marks = 0;
#if defined(__x86_64__)
  if (has_ssse3() && !decode_wide(in, groups_end, out, wide)) marks |= kNotASymbol;
#endif
  for (; in != groups_end; in += 4, out += 3) {
    const std::uint32_t group = first[in[0]] | second[in[1]] | third[in[2]] | fourth[in[3]];
    marks |= group;
    std::memcpy(out, &group, sizeof group);
  }
  if (tail != 0) {
    const std::uint32_t group = first[in[0]] | second[in[1]] | (tail == 3 ? third[in[2]] : 0);
    marks |= group;
    std::array<std::uint8_t, 4> last{};
    std::memcpy(last.data(), &group, sizeof group);
    // Two symbols carry one byte and four spare bits, three carry two bytes and two spare bits.
    const std::size_t whole = tail - 1;
    if (std::any_of(last.begin() + whole, last.begin() + 3,
                    [](std::uint8_t b) { return b != 0; })) {
      return std::nullopt;
    }
    std::copy_n(last.begin(), whole, out);
  }
  if ((marks & kNotASymbol) != 0) return std::nullopt;
  bytes.resize(decoded);
  return bytes;
}

}  // namespace

std::string base64_encode(ByteView bytes) {
  return encode<kStandardPairs, kStandardWideSymbols>(bytes, true);
}

std::string base64url_encode(ByteView bytes) {
  return encode<kUrlSafePairs, kUrlSafeWideSymbols>(bytes, false);
}

std::optional<Bytes> base64_decode_strict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  // At most two "=": a third would stand for a symbol that carries fewer than 8 bits. An "="
  // anywhere else is refused as a symbol.
  std::size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == kPad) ++pad;
  return decode_symbols<kStandardTables, kStandardWide>(text.substr(0, text.size() - pad));
}

std::optional<Bytes> base64url_decode_strict(std::string_view text) {
  return decode_symbols<kUrlSafeTables, kUrlSafeWide>(text);
}

}  // namespace ktarn
