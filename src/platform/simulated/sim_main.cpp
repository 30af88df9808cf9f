// zarn-audio-sim: the real program on the scripted capture service, for tests and for trying a
// parent against audio whose every byte is known. The script comes from the arguments (syntax in
// script.cpp); a bad script is reported on standard error with exit status 2.
#include <cstdio>
#include <string>
#include <vector>

#include "command_reader.h"
#include "platform/screencapturekit/screen_audio_service.h"
#include "platform/simulated/script.h"
#include "platform/simulated/simulated_service.h"

int main(int argc, char** argv) {
  namespace sim = zarn::platform::simulated;
  const std::vector<std::string> tokens(argv + 1, argv + argc);
  std::string error;
  std::optional<sim::Script> script = sim::parseScript(tokens, error);
  if (!script) {
    std::fprintf(stderr, "zarn-audio-sim: %s\n", error.c_str());
    return 2;
  }
  sim::SimulatedService::processWide().install(std::move(*script));
  // The screen flow on the scripted platform, as on macOS; lives as long as the process.
  static auto* const service =
      new zarn::platform::ScreenAudioService(sim::SimulatedService::processWide());
  return zarn::startUp(*service);
}
