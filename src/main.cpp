// zarn-audio: captures what the computer plays and streams it to the parent as frames on
// standard output. Takes no arguments; commands arrive as bytes on standard input.
#include "command_reader.h"
#include "platform/system_audio_service.h"

int main() {
  return zarn::startUp(zarn::platform::systemAudioService());
}
