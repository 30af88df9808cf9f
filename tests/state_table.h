// The capture services' state machines, checked without a server: every phase with every event
// against a table that lists the pairs that do something. Every other pair must stay and do
// nothing, but for a start outside idle, which is refused ('r'). Both enums count up from 0.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace zarn::test {

template <class Phase, class Event>
struct Transition {
  Phase phase;
  std::vector<Event> events;  // each of them alike
  Phase next;
  const char* actions;  // as letters()
};

// The action bits as letters, in bit order; '?' for a bit that has no letter.
inline std::string letters(std::uint32_t actions, const char* names) {
  std::string out;
  for (std::size_t bit = 0; names[bit]; ++bit)
    if (actions >> bit & 1u) out += names[bit];
  return actions >> std::strlen(names) ? out + '?' : out;
}

// `step(phase, event)` gives {next phase, action bits}; it may check more of its own.
template <class Phase, class Event, class Step>
void expectEveryPair(const std::vector<Transition<Phase, Event>>& table, Phase lastPhase,
                     Event lastEvent, const char* names, Step step) {
  for (Phase phase{}; phase <= lastPhase; phase = Phase(int(phase) + 1)) {
    for (Event event{}; event <= lastEvent; event = Event(int(event) + 1)) {
      SCOPED_TRACE(::testing::Message() << "phase " << int(phase) << ", event " << int(event));
      const auto [next, actions] = step(phase, event);
      std::pair<Phase, std::string> expected{
          phase, event == Event::start && phase != Phase::idle ? "r" : ""};
      for (const auto& row : table)
        for (Event listed : row.events)
          if (row.phase == phase && listed == event) expected = {row.next, row.actions};
      EXPECT_EQ(std::pair(next, letters(actions, names)), expected);
    }
  }
}

}  // namespace zarn::test
