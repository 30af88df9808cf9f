// Declarations for compile-checking the macOS service on other systems: API_AVAILABLE(macos(v))
// as the real attribute. Off macOS it is ignored, so availability is checked only on a Mac.
#pragma once

#define API_AVAILABLE(platform) ZARN_SDK_AVAILABLE_##platform
#define ZARN_SDK_AVAILABLE_macos(version) __attribute__((availability(macos, introduced = version)))
