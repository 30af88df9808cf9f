#include "platform/linux/answer_watch.h"

namespace zarn::platform::linux_audio {

AnswerWatch::Verdict AnswerWatch::tick(Clock::time_point now) {
  if (told_) return Verdict::wait;
  if (!outstanding_) {
    outstanding_ = true;
    askedAt_ = now;
    return Verdict::ask;
  }
  if (now - askedAt_ < kSilenceBound) return Verdict::wait;
  told_ = true;
  return Verdict::silent;
}

}  // namespace zarn::platform::linux_audio
