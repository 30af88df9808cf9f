#include "capture_object.h"

namespace zarn {

SysAudioCapture::SysAudioCapture() : SysAudioCapture(platform::captureService()) {}

SysAudioCapture::SysAudioCapture(platform::CaptureService& service) : service_(service) {}

void SysAudioCapture::arm() {
  armQueue_.sync([this] { armed_ = true; });
}

void SysAudioCapture::disarm() {
  armQueue_.sync([this] { armed_ = false; });
}

bool SysAudioCapture::readArmed() {
  bool value = false;
  armQueue_.sync([this, &value] { value = armed_; });
  return value;
}

}  // namespace zarn
