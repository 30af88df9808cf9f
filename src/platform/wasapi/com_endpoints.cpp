#include "platform/wasapi/com_endpoints.h"

#include <windows.h>
// Before the headers that use them: COM's interfaces with their GUIDs.
#include <audioclient.h>
#include <avrt.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <string>
#include <utility>

namespace zarn::platform::wasapi {
namespace {

// Loopback packets come every 10 ms; the buffer holds many of them, so a capture thread held up
// for a while loses nothing.
constexpr REFERENCE_TIME kBufferDuration = 2'000'000;  // 200 ms

template <class T>
struct Released {
  T* object = nullptr;
  ~Released() {
    if (object) object->Release();
  }
  T* operator->() const { return object; }
  T** put() { return &object; }
  T* take() { return std::exchange(object, nullptr); }
};

std::string utf8(const wchar_t* text) {
  if (!text) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size) - 1);
  return out;
}

std::string idOf(IMMDevice& device) {
  LPWSTR name = nullptr;
  std::string id = SUCCEEDED(device.GetId(&name)) ? utf8(name) : std::string();
  CoTaskMemFree(name);
  return id;
}

WaveFields fieldsOf(const WAVEFORMATEX& wave) {
  bool isFloat = wave.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
  if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE && wave.cbSize >= 22) {
    const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(wave);
    isFloat = IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    if (!isFloat && !IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) return {};
  } else if (!isFloat && wave.wFormatTag != WAVE_FORMAT_PCM) {
    return {};
  }
  return {isFloat, wave.nSamplesPerSec, wave.nChannels, wave.wBitsPerSample, wave.nBlockAlign};
}

class ComStream final : public LoopbackStream {
 public:
  ComStream(IAudioClient* client, IAudioCaptureClient* capture, HANDLE event, MixFormat format,
            std::uint32_t bufferFrames)
      : client_(client), capture_(capture), event_(event), format_(format), frames_(bufferFrames) {
    QueryPerformanceFrequency(&frequency_);
  }
  ~ComStream() override {
    client_->Stop();
    capture_->Release();
    client_->Release();
    CloseHandle(event_);
  }

  const MixFormat& format() const override { return format_; }
  std::uint32_t bufferFrames() const override { return frames_; }
  void waitForPacket(std::chrono::milliseconds limit) override {
    WaitForSingleObject(event_, static_cast<DWORD>(limit.count()));
  }
  Hresult nextPacket(Packet& packet) override {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 position = 0, capturedAt = 0;
    const HRESULT got = capture_->GetBuffer(&data, &frames, &flags, &position, &capturedAt);
    if (got != S_OK) return got;
    packet = {data,
              frames,
              (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0,
              (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0,
              position,
              capturedAt};
    return kOk;
  }
  Hresult releasePacket(std::uint32_t frames) override { return capture_->ReleaseBuffer(frames); }
  std::uint64_t now() const override {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const auto perSecond = static_cast<std::uint64_t>(frequency_.QuadPart);
    return ticks / perSecond * 10'000'000 + ticks % perSecond * 10'000'000 / perSecond;
  }

 private:
  IAudioClient* client_;
  IAudioCaptureClient* capture_;
  HANDLE event_;
  MixFormat format_;
  std::uint32_t frames_;
  LARGE_INTEGER frequency_{};
};

// Hands the system's notifications on to the watcher; they arrive on a system thread.
class Notifications final : public IMMNotificationClient {
 public:
  explicit Notifications(EndpointWatcher& watcher) : watcher_(watcher) {}

  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }  // lives for good
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!IsEqualIID(iid, __uuidof(IUnknown)) && !IsEqualIID(iid, __uuidof(IMMNotificationClient)))
      return *object = nullptr, E_NOINTERFACE;
    *object = static_cast<IMMNotificationClient*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR id) override {
    if (flow == eRender && role == eConsole) watcher_.defaultChanged(utf8(id));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override {
    watcher_.endpointGone(utf8(id));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override {
    if (state != DEVICE_STATE_ACTIVE) watcher_.endpointGone(utf8(id));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

 private:
  EndpointWatcher& watcher_;
  std::atomic<ULONG> references_{1};
};

class ComEndpoints final : public Endpoints {
 public:
  void enterThread(bool realTime) override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // The "Audio" task keeps the thread on time under load; without it capture still works.
    DWORD task = 0;
    if (realTime) mmcss_ = AvSetMmThreadCharacteristicsW(L"Audio", &task);
  }
  void leaveThread() override {
    if (mmcss_) AvRevertMmThreadCharacteristics(std::exchange(mmcss_, nullptr));
    CoUninitialize();
  }
  Hresult watch(EndpointWatcher& watcher) override;
  Hresult openDefault(std::unique_ptr<LoopbackStream>& stream, std::string& id) override;
  bool active(const std::string& id) override;
  std::string describe(Hresult result) override;

 private:
  Hresult enumerator();
  static Hresult start(IMMDevice& device, std::unique_ptr<LoopbackStream>& stream);

  IMMDeviceEnumerator* enumerator_ = nullptr;  // made on first use, kept for good
  Notifications* notifications_ = nullptr;
  static thread_local HANDLE mmcss_;
};

thread_local HANDLE ComEndpoints::mmcss_ = nullptr;

Hresult ComEndpoints::enumerator() {
  if (enumerator_) return S_OK;
  return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                          __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&enumerator_));
}

Hresult ComEndpoints::watch(EndpointWatcher& watcher) {
  if (const Hresult made = enumerator(); FAILED(made)) return made;
  notifications_ = new Notifications(watcher);  // the system may call it until the process ends
  return enumerator_->RegisterEndpointNotificationCallback(notifications_);
}

Hresult ComEndpoints::openDefault(std::unique_ptr<LoopbackStream>& stream, std::string& id) {
  if (const Hresult made = enumerator(); FAILED(made)) return made;
  Released<IMMDevice> device;
  const HRESULT found = enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, device.put());
  if (found == E_NOTFOUND) return kNotFound;
  if (FAILED(found)) return found;
  id = idOf(*device.object);
  const Hresult started = start(*device.object, stream);
  if (SUCCEEDED(started)) return started;
  // A default that has just gone away can still be named for a while (Wine names it until its
  // setting changes), and fails to start: another endpoint that is still there stands in.
  Released<IMMDeviceCollection> endpoints;
  UINT count = 0;
  if (FAILED(enumerator_->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, endpoints.put())) ||
      FAILED(endpoints->GetCount(&count)))
    return started;
  for (UINT i = 0; i < count; ++i) {
    Released<IMMDevice> other;
    if (FAILED(endpoints->Item(i, other.put())) || idOf(*other.object) == id) continue;
    if (SUCCEEDED(start(*other.object, stream))) return id = idOf(*other.object), S_OK;
  }
  // Wine keeps a stand-in default endpoint when the sound server has no output at all; it is
  // the only active one then, and fails to start with a bare E_FAIL.
  return started == E_FAIL && count <= 1 ? kNotFound : started;
}

bool ComEndpoints::active(const std::string& id) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, id.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, id.c_str(), -1, wide.data(), size);
  Released<IMMDevice> device;
  DWORD state = 0;
  return enumerator_ && SUCCEEDED(enumerator_->GetDevice(wide.c_str(), device.put())) &&
         SUCCEEDED(device->GetState(&state)) && state == DEVICE_STATE_ACTIVE;
}

Hresult ComEndpoints::start(IMMDevice& device, std::unique_ptr<LoopbackStream>& stream) {
  Released<IAudioClient> client;
  HRESULT result = device.Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                   reinterpret_cast<void**>(client.put()));
  if (FAILED(result)) return result;
  WAVEFORMATEX* mix = nullptr;
  if (result = client->GetMixFormat(&mix); FAILED(result)) return result;
  const std::optional<MixFormat> format = readMixFormat(fieldsOf(*mix));
  result =
      format ? client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                  AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                  kBufferDuration, 0, mix, nullptr)
             : kUnsupportedFormat;
  CoTaskMemFree(mix);
  if (FAILED(result)) return result;
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Released<IAudioCaptureClient> capture;
  UINT32 frames = 0;
  if (!event) return HRESULT_FROM_WIN32(GetLastError());
  if (FAILED(result = client->SetEventHandle(event)) ||
      FAILED(result = client->GetBufferSize(&frames)) ||
      FAILED(result = client->GetService(__uuidof(IAudioCaptureClient),
                                         reinterpret_cast<void**>(capture.put()))) ||
      FAILED(result = client->Start())) {
    CloseHandle(event);
    return result;
  }
  stream = std::make_unique<ComStream>(client.take(), capture.take(), event, *format, frames);
  return S_OK;
}

std::string ComEndpoints::describe(Hresult result) {
  wchar_t* text = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(result), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string described = utf8(text);
  LocalFree(text);
  // One line, as the other systems' texts are: no line end, no closing full stop.
  while (!described.empty() &&
         (std::isspace(static_cast<unsigned char>(described.back())) || described.back() == '.'))
    described.pop_back();
  if (!described.empty()) return described;
  // The system has no text for the audio engine's own codes; their names are what a Windows
  // developer looks up.
  static constexpr std::pair<Hresult, const char*> kAudioCodes[] = {
      {kDeviceInvalidated, "AUDCLNT_E_DEVICE_INVALIDATED"},
      {kUnsupportedFormat, "AUDCLNT_E_UNSUPPORTED_FORMAT"},
      {static_cast<Hresult>(AUDCLNT_E_SERVICE_NOT_RUNNING), "AUDCLNT_E_SERVICE_NOT_RUNNING"},
      {static_cast<Hresult>(AUDCLNT_E_DEVICE_IN_USE), "AUDCLNT_E_DEVICE_IN_USE"},
      {static_cast<Hresult>(AUDCLNT_E_ENDPOINT_CREATE_FAILED), "AUDCLNT_E_ENDPOINT_CREATE_FAILED"},
      {static_cast<Hresult>(AUDCLNT_E_RESOURCES_INVALIDATED), "AUDCLNT_E_RESOURCES_INVALIDATED"},
  };
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
  for (const auto& [value, name] : kAudioCodes)
    if (value == result) return std::string(name) + " (" + code + ")";
  return std::string("error ") + code;
}

}  // namespace

std::unique_ptr<Endpoints> makeComEndpoints() {
  return std::make_unique<ComEndpoints>();
}

}  // namespace zarn::platform::wasapi
