// The order both Linux services offer outputs in: the default output first, the rest as the
// server listed them.
#pragma once

#include <utility>
#include <vector>

namespace zarn::platform::linux_audio {

template <class Output>
void addInOfferOrder(std::vector<Output>& outputs, Output output, bool isDefault) {
  if (isDefault) {
    outputs.insert(outputs.begin(), std::move(output));
  } else {
    outputs.push_back(std::move(output));
  }
}

}  // namespace zarn::platform::linux_audio
