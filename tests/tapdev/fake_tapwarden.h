// A scripted stand-in for tapwarden on a temporary socket path: it greets
// the one client it accepts as told, then answers its configuration
// requests with the given byte strings, recording what it was sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct fake_script {
  std::string greeting;          // sent as one message
  int pass_fd = -1;              // sent as SCM_RIGHTS with the greeting when >= 0
  std::vector<std::string> answers;  // one per request received
  bool hang_up = false;  // close once the answers are spent instead of waiting
  int answer_fd = -1;    // sent as SCM_RIGHTS with the first answer when >= 0
};

class fake_tapwarden {
 public:
  fake_tapwarden(const std::string &path, fake_script script);
  ~fake_tapwarden();  // joins the thread; every wait inside has a deadline

  // Waits (with a deadline) until the exchange is over; true if the client
  // hung up (a fake that hangs up itself never sees that).
  bool wait_client_closed();
  std::vector<std::string> requests() const;  // copies, after wait_client_closed

 private:
  void run();
  int listener_ = -1;
  fake_script script_;
  std::vector<std::string> requests_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The greeting tapwarden sends: code in host order, then the hardware address.
std::string greeting_bytes(int32_t code, const uint8_t mac[6]);
std::string code_bytes(int32_t code);
