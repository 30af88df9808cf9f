// Drives a capture service's state machine: holds its phase, asks the service's transition
// function what an event leads to, stores the next phase and has the service carry the actions
// out. Events raised while actions are carried out wait their turn, so every step is complete
// (phase stored, all its actions done) before the next one begins.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

namespace zarn::platform {

template <class Phase>
struct Decision {
  Phase next;
  std::uint32_t actions = 0;
};

// Service provides:
//   Decision<Phase> decide(const Phase&, Event&);  // may rewrite the event it is given
//   void carryOut(std::uint32_t actions, Event&);
template <class Service, class Phase, class Event>
class StepDriver {
 public:
  StepDriver(Service& service, Phase initial) : service_(service), phase_(std::move(initial)) {}

  const Phase& phase() const { return phase_; }
  // For an end that needs no step of its own (the service is closed).
  void setPhase(Phase phase) { phase_ = std::move(phase); }

  void raise(Event event) {
    queued_.push_back(std::move(event));
    if (running_) return;
    running_ = true;
    while (!queued_.empty()) {
      Event next = std::move(queued_.front());
      queued_.pop_front();
      const Decision<Phase> step = service_.decide(phase_, next);
      phase_ = step.next;
      service_.carryOut(step.actions, next);
    }
    running_ = false;
  }

 private:
  Service& service_;
  Phase phase_;
  std::deque<Event> queued_;
  bool running_ = false;
};

}  // namespace zarn::platform
