// Display servers that never answer, on a loopback TCP port of their own: what a hung or
// malicious server looks like to the companion. Each one is reached as "127.0.0.1:N".
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ktarn::e2e {

// The server's answer to a little-endian client's opening: success, protocol 11.0, and one screen
// of 640 x 480 whose root is window 0x100, with no pixmap formats and no depths listed.
std::string x11_greeting();

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
