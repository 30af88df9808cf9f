#include "platform/pulse/outputs.h"

#include <algorithm>

#include "platform/linux/output_order.h"

namespace zarn::platform::pulse {

std::vector<Output> recordableOutputs(const std::vector<Output>& sinks,
                                      std::string_view defaultName) {
  std::vector<Output> outputs;
  for (const Output& sink : sinks) {
    if (sink.monitorName.empty() || sink.rate == 0) continue;
    linux_audio::addInOfferOrder(outputs, sink, !defaultName.empty() && sink.name == defaultName);
  }
  return outputs;
}

FollowStep nextFollowStep(const std::vector<Output>& sinks, std::string_view defaultName,
                          const std::optional<Output>& current, bool waited) {
  using Kind = FollowStep::Kind;
  const std::vector<Output> outputs = recordableOutputs(sinks, defaultName);
  if (outputs.empty()) return {Kind::noOutput, {}};

  // An output is the same one only under the same index: a sink made anew under an old name is
  // a different sink, and the old record stream on it is dead.
  const bool currentListed =
      current && std::any_of(outputs.begin(), outputs.end(),
                             [&](const Output& output) { return output.index == current->index; });
  const Output& first = outputs.front();
  const bool defaultListed = !defaultName.empty() && first.name == defaultName;

  if (defaultListed) {
    if (currentListed && current->index == first.index) return {Kind::stay, {}};
    return {Kind::switchTo, first};
  }
  if (currentListed) return {Kind::stay, {}};
  if (!waited) return {Kind::waitForDefault, {}};
  return {Kind::switchTo, first};
}

std::uint32_t fragmentBytes(std::uint32_t rate, std::uint32_t channels,
                            std::uint32_t milliseconds) {
  const std::uint64_t frames =
      std::max<std::uint64_t>(1, std::uint64_t{rate} * milliseconds / 1000);
  return static_cast<std::uint32_t>(frames * std::max<std::uint32_t>(channels, 1) * 4);
}

}  // namespace zarn::platform::pulse
