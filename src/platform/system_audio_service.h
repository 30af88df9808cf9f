// The system's capture service for the product: defined once per platform, by the platform's
// service library (chosen in src/CMakeLists.txt), and handed to the core by main. The core never
// calls it, so it links no service.
#pragma once

#include "audio_service.h"

namespace zarn::platform {

// Created on first use and never destroyed.
AudioService& systemAudioService();

}  // namespace zarn::platform
