// The completions a stream owes (start's, stop's, a refused call's), collected while its state
// changes and run once the change is over: never inside it, and never on the thread of the call
// that made them owed.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zarn::platform::linux_audio {

using Outcome = std::optional<std::string>;  // an error, or none
using Completion = std::function<void(Outcome)>;

class OwedCompletions {
 public:
  // Takes the completion out of its slot, if there is one.
  void owe(Completion& slot, Outcome outcome) {
    if (slot) owed_.emplace_back(std::exchange(slot, nullptr), std::move(outcome));
  }
  bool empty() const { return owed_.empty(); }
  // What is owed so far, to be run elsewhere or later.
  OwedCompletions take() { return std::exchange(*this, {}); }
  void run() {
    for (auto& [done, outcome] : std::exchange(owed_, {})) done(std::move(outcome));
  }
  // On a thread of its own, for a caller whose thread they must not run on.
  void runElsewhere() {
    if (!owed_.empty()) std::thread([owed = take()]() mutable { owed.run(); }).detach();
  }

 private:
  std::vector<std::pair<Completion, Outcome>> owed_;
};

}  // namespace zarn::platform::linux_audio
