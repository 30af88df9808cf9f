// The capture services' state machines, checked without a server: every phase with every event
// against a table of the pairs that do something, a line for each group: "PHASE EVENT... > NEXT
// ACTIONS", the actions as letters in bit order. Every other pair must stay and do nothing, but
// for a start (the first event) outside the first phase, which is refused ('r').
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace zarn::test {

inline std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), {}};
}

// The action bits as letters, in bit order; '?' for a bit that has no letter.
inline std::string letters(std::uint32_t actions, const std::string& names) {
  std::string out;
  for (std::size_t bit = 0; bit < names.size(); ++bit)
    if (actions >> bit & 1u) out += names[bit];
  return actions >> names.size() ? out + '?' : out;
}

// `phaseNames` and `eventNames` in the order of their enums, which count up from 0;
// `step(phase, event)` gives {next phase, action bits} and may check more of its own.
template <class Phase, class Event, class Step>
void expectEveryPair(const std::string& table, const std::string& phaseNames,
                     const std::string& eventNames, const std::string& names, Step step) {
  const auto phases = words(phaseNames), events = words(eventNames);
  std::map<std::string, std::string> listed;  // "PHASE EVENT": "NEXT ACTIONS"
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) {
    const auto from = words(line.substr(0, line.find('>'))),
               to = words(line.substr(line.find('>') + 1));
    for (std::size_t i = 1; i < from.size(); ++i)
      listed[from[0] + " " + from[i]] = to.at(0) + " " + (to.size() > 1 ? to[1] : "");
  }
  for (std::size_t p = 0; p < phases.size(); ++p) {
    for (std::size_t e = 0; e < events.size(); ++e) {
      const std::string pair = phases[p] + " " + events[e];
      SCOPED_TRACE(pair);
      const auto [next, actions] = step(Phase(p), Event(e));
      EXPECT_EQ(phases.at(std::size_t(next)) + " " + letters(actions, names),
                listed.contains(pair) ? listed[pair] : phases[p] + (p > 0 && e == 0 ? " r" : " "));
    }
  }
}

}  // namespace zarn::test
