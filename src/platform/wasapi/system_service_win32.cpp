// The product's service on Windows: loopback capture through WASAPI's COM objects.
#include "platform/system_audio_service.h"
#include "platform/wasapi/com_endpoints.h"
#include "platform/wasapi/wasapi_service.h"

namespace zarn::platform {

AudioService& systemAudioService() {
  static AudioService* const service = new wasapi::WasapiService(wasapi::makeComEndpoints());
  return *service;
}

}  // namespace zarn::platform
