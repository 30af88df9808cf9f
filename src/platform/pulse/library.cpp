#include "platform/pulse/library.h"

#include <dlfcn.h>

#include <mutex>

namespace zarn::platform::pulse::library {

#define ZARN_PULSE_DEFINE(name) name##_type name##_ptr = nullptr;
ZARN_PULSE_FUNCTIONS(ZARN_PULSE_DEFINE)
#undef ZARN_PULSE_DEFINE

namespace {

std::string loadOnce() {
  // Never closed: the library's threads and objects live as long as the process.
  void* const handle = dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    return std::string("the PulseAudio client library cannot be loaded: ") +
           (why != nullptr ? why : "libpulse.so.0");
  }
#define ZARN_PULSE_RESOLVE(name)                                    \
  name##_ptr = reinterpret_cast<name##_type>(dlsym(handle, #name)); \
  if (name##_ptr == nullptr) return "the PulseAudio client library lacks " #name;
  ZARN_PULSE_FUNCTIONS(ZARN_PULSE_RESOLVE)
#undef ZARN_PULSE_RESOLVE
  return {};
}

}  // namespace

bool load(std::string& error) {
  static const std::string failure = loadOnce();  // thread-safe, once
  if (!failure.empty()) error = failure;
  return failure.empty();
}

}  // namespace zarn::platform::pulse::library
