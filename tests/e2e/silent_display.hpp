// Display servers that never answer, on a loopback TCP port of their own: what a hung or
// malicious server looks like to the companion. Each one is reached as "127.0.0.1:N".
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ktarn::e2e {

enum class Silence {
  kBeforeGreeting,   // connections are taken but nothing is ever read or written
  kBeforeAccepting,  // the queue of waiting connections is full: connecting never completes
  kAfterGreeting,    // each connection is welcomed as by a real server, then no request answered
};

class SilentDisplay {
 public:
  explicit SilentDisplay(Silence silence);
  ~SilentDisplay();
  SilentDisplay(const SilentDisplay&) = delete;
  SilentDisplay& operator=(const SilentDisplay&) = delete;

  // "127.0.0.1:N", or empty when the server could not be set up.
  const std::string& display_name() const { return display_name_; }

 private:
  void greet_and_hold();

  int listener_ = -1;
  std::vector<int> held_;  // queue fillers, or the welcomed connections
  std::atomic<bool> stopping_ = false;
  std::thread greeter_;
  std::string display_name_;
};

}  // namespace ktarn::e2e
