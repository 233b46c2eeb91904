// The shared build of the bridge must export the C pair and nothing else: any other symbol would
// be a second, unchecked way into the platform.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

// Markers the linker defines in every shared object; they carry no code of ours.
const std::set<std::string> kLinkerMarkers = {"_init", "_fini", "__bss_start", "_edata", "_end"};

// Defined dynamic symbols, without absolute values and the linker's own markers.
std::set<std::string> exported_symbols(const std::string& library) {
  const std::string command = "nm -D --defined-only '" + library + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::set<std::string> symbols;
  if (!pipe) return symbols;
  char line[512];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name)) continue;
    if (type == "A" || kLinkerMarkers.contains(name)) continue;
    symbols.insert(name);
  }
  return symbols;
}

TEST(ExportedSymbols, OnlyTheCallPair) {
  const auto symbols = exported_symbols(KTARN_BINARY_DIR "/bridge/libktarn_bridge_module.so");
  EXPECT_EQ(symbols, (std::set<std::string>{"ktarn_macos_call", "ktarn_macos_free"}));
}

}  // namespace
