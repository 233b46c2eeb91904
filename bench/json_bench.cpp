// The wire form's reader and writer on two request shapes: a small sign request, the line the
// companion sees most, and a ~60 KiB document that exercises every kind of value. RapidJSON runs
// on the same bytes as a yardstick, configured to do the same work: a strict parse that checks
// the encoding and converts numbers precisely, and a compact write with members in byte order.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "json/parse_json.hpp"
#include "json/write_json.hpp"
#include "ratio_reporter.hpp"

namespace {

const std::string kSignRequest =
    R"({"id":"req-42","type":"sign","payload":{"audience":"https://exam.example",)"
    R"("protocol":1,"purpose":"session-start","nonce":"p4Qm2xV9sLk0","issuedAt":1765267200}})";

// A document of ~60 KiB: records with nested objects, arrays, escaped and non-ASCII strings,
// integers of every size and doubles of every magnitude.
std::string make_large_request() {
  std::string text = R"({"id":"bulk-1","type":"snapshot","records":[)";
  for (int i = 0; text.size() < 60 * 1024; ++i) {
    if (i > 0) text += ',';
    const std::string n = std::to_string(i);
    text += R"({"name":"process \"worker\" )" + n + R"(","path":"C:\\Program Files\\App\\bin",)";
    text += R"("label":"Überprüfung – 検査 )" + n + R"( ✓","pid":)" + std::to_string(1000 + i * 37);
    text += R"(,"offset":-)" + std::to_string(i * 1234567) + R"(,"big":18446744073709551)" +
            std::to_string(100 + i % 500);
    text += R"(,"ratio":0.)" + std::to_string(i * 7919 % 100000) + R"(,"scale":)" +
            std::to_string(i % 17) + "." + std::to_string(i % 9) + "e" +
            std::to_string(i % 40 - 20);
    text += R"(,"flags":[true,false,null],"window":{"x":)" + std::to_string(i % 1920) + R"(,"y":)" +
            std::to_string(i % 1080) + R"(,"title":"tab\tline\nend"},"tags":["a","b)" + n +
            R"("]})";
  }
  text += "]}";
  return text;
}

const std::string kLargeRequest = make_large_request();

std::span<const unsigned char> bytes_of(const std::string& text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

void count(benchmark::State& state, const std::string& text) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(std::to_string(text.size()) + " bytes");
}

// Each parse replaces the previous tree, which is freed only once the new one stands, as in a
// running process; freeing everything between iterations would mostly measure the allocator
// returning and re-faulting its heap top.
void parse_text(benchmark::State& state, const std::string& text) {
  ktarn::json::JsonValue value;
  for (auto _ : state) {
    value = *ktarn::json::parse_json(text);
    benchmark::DoNotOptimize(value);
  }
  count(state, text);
}

void parse_bytes(benchmark::State& state, const std::string& text) {
  ktarn::json::JsonValue value;
  for (auto _ : state) {
    value = *ktarn::json::parse_json_bytes(bytes_of(text));
    benchmark::DoNotOptimize(value);
  }
  count(state, text);
}

void write(benchmark::State& state, const std::string& text) {
  const ktarn::json::JsonValue value = *ktarn::json::parse_json(text);
  std::string out;
  for (auto _ : state) {
    out.clear();
    ktarn::json::write_json(value, out);
    benchmark::DoNotOptimize(out.data());
  }
  count(state, text);
}

// Text input, as the request loop parses its lines: the line reader has already checked their
// UTF-8, which the strict RapidJSON parse below does itself because it is given raw bytes.
void parse_and_write(benchmark::State& state, const std::string& text) {
  ktarn::json::JsonValue value;
  std::string out;
  for (auto _ : state) {
    value = *ktarn::json::parse_json(text);
    out.clear();
    ktarn::json::write_json(value, out);
    benchmark::DoNotOptimize(out.data());
  }
  count(state, text);
}

constexpr unsigned kStrictParse =
    rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag;
using RapidWriter = rapidjson::Writer<rapidjson::StringBuffer>;

bool name_less(const rapidjson::Value::Member* a, const rapidjson::Value::Member* b) {
  const std::size_t na = a->name.GetStringLength();
  const std::size_t nb = b->name.GetStringLength();
  const int order = std::memcmp(a->name.GetString(), b->name.GetString(), std::min(na, nb));
  return order != 0 ? order < 0 : na < nb;
}

// Compact output with each object's members in ascending byte order of their names.
void write_sorted(const rapidjson::Value& value, RapidWriter& writer) {
  if (value.IsObject()) {
    std::vector<const rapidjson::Value::Member*> members;
    members.reserve(value.MemberCount());
    for (const auto& member : value.GetObject()) members.push_back(&member);
    std::sort(members.begin(), members.end(), name_less);
    writer.StartObject();
    for (const auto* member : members) {
      writer.Key(member->name.GetString(), member->name.GetStringLength());
      write_sorted(member->value, writer);
    }
    writer.EndObject();
  } else if (value.IsArray()) {
    writer.StartArray();
    for (const auto& element : value.GetArray()) write_sorted(element, writer);
    writer.EndArray();
  } else {
    value.Accept(writer);
  }
}

// A fresh document per parse, swapped in so the previous one is freed afterwards, like ours.
void rapid_parse_into(rapidjson::Document& document, const std::string& text) {
  rapidjson::Document next;
  next.Parse<kStrictParse>(text.data(), text.size());
  document.Swap(next);
}

void rapid_parse(benchmark::State& state, const std::string& text) {
  rapidjson::Document document;
  for (auto _ : state) {
    rapid_parse_into(document, text);
    benchmark::DoNotOptimize(document.HasParseError());
  }
  count(state, text);
}

void rapid_write(benchmark::State& state, const std::string& text) {
  rapidjson::Document document;
  document.Parse<kStrictParse>(text.data(), text.size());
  rapidjson::StringBuffer buffer;
  for (auto _ : state) {
    buffer.Clear();
    RapidWriter writer(buffer);
    write_sorted(document, writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  count(state, text);
}

void rapid_parse_and_write(benchmark::State& state, const std::string& text) {
  rapidjson::Document document;
  rapidjson::StringBuffer buffer;
  for (auto _ : state) {
    rapid_parse_into(document, text);
    buffer.Clear();
    RapidWriter writer(buffer);
    write_sorted(document, writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  count(state, text);
}

// For each pair measured in this run, how many times faster ours is than RapidJSON (RapidJSON's
// CPU time divided by ours).
void print_ratios(std::ostream& out, const ktarn::bench::CpuTimes& times) {
  static constexpr std::pair<const char*, const char*> kPairs[] = {
      {"parse_text", "rapid_parse"},
      {"write", "rapid_write"},
      {"parse_and_write", "rapid_parse_and_write"}};
  out << "\nOurs vs RapidJSON, same run (RapidJSON time / ours; above 1 means ours is faster).\n"
      << "Ours parses text input: request lines are UTF-8-checked by the line reader, while\n"
      << "the strict RapidJSON parse validates UTF-8 itself because it is given raw bytes.\n";
  for (const char* shape : {"sign", "large"}) {
    for (const auto& [ours, theirs] : kPairs) {
      const auto a = times.ns(std::string(ours) + "/" + shape);
      const auto b = times.ns(std::string(theirs) + "/" + shape);
      if (!a || !b) continue;
      out << "  " << ours << "/" << shape << ": ours " << std::fixed << std::setprecision(0) << *a
          << " ns, RapidJSON " << *b << " ns -> " << std::setprecision(2) << *b / *a << "x\n";
    }
  }
}

}  // namespace

BENCHMARK_CAPTURE(parse_text, sign, kSignRequest);
BENCHMARK_CAPTURE(parse_bytes, sign, kSignRequest);
BENCHMARK_CAPTURE(rapid_parse, sign, kSignRequest);
BENCHMARK_CAPTURE(write, sign, kSignRequest);
BENCHMARK_CAPTURE(rapid_write, sign, kSignRequest);
BENCHMARK_CAPTURE(parse_and_write, sign, kSignRequest);
BENCHMARK_CAPTURE(rapid_parse_and_write, sign, kSignRequest);
BENCHMARK_CAPTURE(parse_text, large, kLargeRequest);
BENCHMARK_CAPTURE(parse_bytes, large, kLargeRequest);
BENCHMARK_CAPTURE(rapid_parse, large, kLargeRequest);
BENCHMARK_CAPTURE(write, large, kLargeRequest);
BENCHMARK_CAPTURE(rapid_write, large, kLargeRequest);
BENCHMARK_CAPTURE(parse_and_write, large, kLargeRequest);
BENCHMARK_CAPTURE(rapid_parse_and_write, large, kLargeRequest);

int main(int argc, char** argv) {
  return ktarn::bench::run_with_ratios(argc, argv, print_ratios);
}
