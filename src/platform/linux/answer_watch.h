// Whether the sound server still answers. Nothing playing is not silence of the server: a quiet
// desktop's server still answers a round trip at once. So a question goes out on every tick while
// none is outstanding, and the server has stopped (a daemon stopped with SIGSTOP, or hung) when
// one has gone unanswered for kSilenceBound. Said once.
#pragma once

#include <chrono>

namespace zarn::platform::linux_audio {

class AnswerWatch {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kTick{1000};
  static constexpr std::chrono::milliseconds kSilenceBound{3000};
  // The words the loss is told in.
  static constexpr const char* kStoppedText = "the sound server stopped answering";

  enum class Verdict {
    ask,     // send a question now
    wait,    // one is outstanding and not yet overdue, or the silence was already told
    silent,  // tell the loss of the server, once
  };

  Verdict tick(Clock::time_point now);
  void answered() { outstanding_ = false; }

 private:
  bool outstanding_ = false, told_ = false;
  Clock::time_point askedAt_;
};

}  // namespace zarn::platform::linux_audio
