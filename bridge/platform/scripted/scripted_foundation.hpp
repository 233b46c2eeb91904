// A foundation that behaves like the software one until a test says otherwise: serialisation can
// be made to yield nothing, the allocator to fail, and any operation to raise the platform
// exception. Every call is recorded by name in order, with the size of every allocation.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "bridge/platform/foundation.hpp"
#include "bridge/platform/software/foundation/software_foundation.hpp"

namespace ktarn::platform::scripted {

class ScriptedFoundation final : public platform::Foundation {
 public:
  // The script.
  bool serialisation_fails = false;
  bool malloc_fails = false;
  std::set<std::string> throwing;  // operation names that raise the platform exception

  // What was asked.
  std::vector<std::string> calls;
  std::vector<std::size_t> allocations;

  std::optional<std::string> string_with_utf8_string(const char* bytes) override;
  std::string base64_encoded_string(std::span<const std::uint8_t> bytes) override;
  std::optional<Bytes> init_with_base64_encoded_string(std::string_view text) override;
  std::optional<std::string> data_with_json_object(const Value& object) override;
  void* malloc(std::size_t size) override;

 private:
  void enter(const char* operation);

  software::SoftwareFoundation software_;
};

}  // namespace ktarn::platform::scripted
