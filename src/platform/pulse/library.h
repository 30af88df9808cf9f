// libpulse, loaded when the libpulse service is first used rather than linked: a process that
// records over PipeWire's own protocol then never maps the library and the dozens it pulls in
// (codecs, X11, D-Bus), about 2.7 MiB of memory. Every libpulse call in this folder goes through
// the pointers below; the macros keep the calls written as the library documents them, so this
// header replaces the library's own and comes before anything that uses it.
#pragma once

#include <pulse/pulseaudio.h>

#include <string>

// Every libpulse function the service calls.
#define ZARN_PULSE_FUNCTIONS(X)        \
  X(pa_channel_map_init_extend)        \
  X(pa_context_connect)                \
  X(pa_context_disconnect)             \
  X(pa_context_errno)                  \
  X(pa_context_get_server_info)        \
  X(pa_context_get_sink_info_list)     \
  X(pa_context_get_state)              \
  X(pa_context_new)                    \
  X(pa_context_rttime_new)             \
  X(pa_context_set_state_callback)     \
  X(pa_context_set_subscribe_callback) \
  X(pa_context_subscribe)              \
  X(pa_context_unref)                  \
  X(pa_mainloop_api_once)              \
  X(pa_operation_cancel)               \
  X(pa_operation_unref)                \
  X(pa_rtclock_now)                    \
  X(pa_stream_connect_record)          \
  X(pa_stream_disconnect)              \
  X(pa_stream_drop)                    \
  X(pa_stream_get_device_name)         \
  X(pa_stream_get_sample_spec)         \
  X(pa_stream_get_state)               \
  X(pa_stream_new)                     \
  X(pa_stream_peek)                    \
  X(pa_stream_set_moved_callback)      \
  X(pa_stream_set_read_callback)       \
  X(pa_stream_set_state_callback)      \
  X(pa_stream_unref)                   \
  X(pa_strerror)                       \
  X(pa_threaded_mainloop_free)         \
  X(pa_threaded_mainloop_get_api)      \
  X(pa_threaded_mainloop_in_thread)    \
  X(pa_threaded_mainloop_lock)         \
  X(pa_threaded_mainloop_new)          \
  X(pa_threaded_mainloop_signal)       \
  X(pa_threaded_mainloop_start)        \
  X(pa_threaded_mainloop_stop)         \
  X(pa_threaded_mainloop_unlock)       \
  X(pa_threaded_mainloop_wait)

namespace zarn::platform::pulse::library {

#define ZARN_PULSE_DECLARE(name)         \
  using name##_type = decltype(&::name); \
  extern name##_type name##_ptr;
ZARN_PULSE_FUNCTIONS(ZARN_PULSE_DECLARE)
#undef ZARN_PULSE_DECLARE

// Loads the library once per process (later calls give the first answer); false with `error`
// set when it or one of its functions is missing.
bool load(std::string& error);

}  // namespace zarn::platform::pulse::library

#define ZARN_PULSE_CALL(name) (*zarn::platform::pulse::library::name##_ptr)
#define pa_channel_map_init_extend ZARN_PULSE_CALL(pa_channel_map_init_extend)
#define pa_context_connect ZARN_PULSE_CALL(pa_context_connect)
#define pa_context_disconnect ZARN_PULSE_CALL(pa_context_disconnect)
#define pa_context_errno ZARN_PULSE_CALL(pa_context_errno)
#define pa_context_get_server_info ZARN_PULSE_CALL(pa_context_get_server_info)
#define pa_context_get_sink_info_list ZARN_PULSE_CALL(pa_context_get_sink_info_list)
#define pa_context_get_state ZARN_PULSE_CALL(pa_context_get_state)
#define pa_context_new ZARN_PULSE_CALL(pa_context_new)
#define pa_context_rttime_new ZARN_PULSE_CALL(pa_context_rttime_new)
#define pa_context_set_state_callback ZARN_PULSE_CALL(pa_context_set_state_callback)
#define pa_context_set_subscribe_callback ZARN_PULSE_CALL(pa_context_set_subscribe_callback)
#define pa_context_subscribe ZARN_PULSE_CALL(pa_context_subscribe)
#define pa_context_unref ZARN_PULSE_CALL(pa_context_unref)
#define pa_mainloop_api_once ZARN_PULSE_CALL(pa_mainloop_api_once)
#define pa_operation_cancel ZARN_PULSE_CALL(pa_operation_cancel)
#define pa_operation_unref ZARN_PULSE_CALL(pa_operation_unref)
#define pa_rtclock_now ZARN_PULSE_CALL(pa_rtclock_now)
#define pa_stream_connect_record ZARN_PULSE_CALL(pa_stream_connect_record)
#define pa_stream_disconnect ZARN_PULSE_CALL(pa_stream_disconnect)
#define pa_stream_drop ZARN_PULSE_CALL(pa_stream_drop)
#define pa_stream_get_device_name ZARN_PULSE_CALL(pa_stream_get_device_name)
#define pa_stream_get_sample_spec ZARN_PULSE_CALL(pa_stream_get_sample_spec)
#define pa_stream_get_state ZARN_PULSE_CALL(pa_stream_get_state)
#define pa_stream_new ZARN_PULSE_CALL(pa_stream_new)
#define pa_stream_peek ZARN_PULSE_CALL(pa_stream_peek)
#define pa_stream_set_moved_callback ZARN_PULSE_CALL(pa_stream_set_moved_callback)
#define pa_stream_set_read_callback ZARN_PULSE_CALL(pa_stream_set_read_callback)
#define pa_stream_set_state_callback ZARN_PULSE_CALL(pa_stream_set_state_callback)
#define pa_stream_unref ZARN_PULSE_CALL(pa_stream_unref)
#define pa_strerror ZARN_PULSE_CALL(pa_strerror)
#define pa_threaded_mainloop_free ZARN_PULSE_CALL(pa_threaded_mainloop_free)
#define pa_threaded_mainloop_get_api ZARN_PULSE_CALL(pa_threaded_mainloop_get_api)
#define pa_threaded_mainloop_in_thread ZARN_PULSE_CALL(pa_threaded_mainloop_in_thread)
#define pa_threaded_mainloop_lock ZARN_PULSE_CALL(pa_threaded_mainloop_lock)
#define pa_threaded_mainloop_new ZARN_PULSE_CALL(pa_threaded_mainloop_new)
#define pa_threaded_mainloop_signal ZARN_PULSE_CALL(pa_threaded_mainloop_signal)
#define pa_threaded_mainloop_start ZARN_PULSE_CALL(pa_threaded_mainloop_start)
#define pa_threaded_mainloop_stop ZARN_PULSE_CALL(pa_threaded_mainloop_stop)
#define pa_threaded_mainloop_unlock ZARN_PULSE_CALL(pa_threaded_mainloop_unlock)
#define pa_threaded_mainloop_wait ZARN_PULSE_CALL(pa_threaded_mainloop_wait)
