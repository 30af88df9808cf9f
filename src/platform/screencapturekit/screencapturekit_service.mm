// The capture service on macOS: ScreenCaptureKit for the stream, CoreMedia for the delivered
// sample buffers. Every call here is a plain platform call with the flow's arguments; what to ask
// for, what to do with the answers and every message stay in the portable screen flow
// (screen_audio_service.h).
//
// Memory: ARC owns the Objective-C objects, each held strongly by the C++ object the flow gets
// (so their lifetime is the flow's shared_ptr). CoreMedia objects follow the CF rules: the sample
// buffer is borrowed for one delivery, the format description follows the Get rule and is never
// released here, and only the retained block buffer is released, through releaseBlockBuffer.
#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>
#import <dispatch/dispatch.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/screencapturekit/screen_audio_service.h"
#include "platform/screencapturekit/screen_capture_api.h"
#include "platform/system_audio_service.h"

namespace sc = zarn::platform;

// The flow's values are passed to the platform as they are.
static_assert(static_cast<NSInteger>(sc::OutputType::screen) == SCStreamOutputTypeScreen);
static_assert(static_cast<NSInteger>(sc::OutputType::audio) == SCStreamOutputTypeAudio);
static_assert(static_cast<NSInteger>(sc::OutputType::microphone) == SCStreamOutputTypeMicrophone);
static_assert(sc::kAudioFormatFlagIsFloat == kAudioFormatFlagIsFloat);
static_assert(sc::kNoErr == noErr);
static_assert(sizeof(AudioBufferList) == 24, "room for exactly one AudioBuffer");

// The stream's delegate and audio output: hands the two callbacks to the flow's delegate and
// implements no other callback of either protocol.
@interface ZarnStreamCallbacks : NSObject <SCStreamOutput, SCStreamDelegate>
- (instancetype)initWithTarget:(sc::StreamDelegate*)target;
- (BOOL)forwardsTo:(sc::StreamDelegate*)target;
@end

namespace {

// A platform object behind one of the seam's opaque handles, kept alive by the handle.
template <class Handle, class ObjectPointer>
struct Wrapped final : Handle {
  explicit Wrapped(ObjectPointer object) : object(object) {}
  ObjectPointer object;
};
using ShareableContentObject = Wrapped<sc::ShareableContent, SCShareableContent*>;
using DisplayObject = Wrapped<sc::Display, SCDisplay*>;
using ContentFilterObject = Wrapped<sc::ContentFilter, SCContentFilter*>;

// Whether SCStream keeps its delegate and outputs alive is not documented, so the callback
// objects are held here for as long as the stream.
struct StreamObject final : sc::Stream {
  explicit StreamObject(SCStream* object) : object(object) {}
  SCStream* object;
  ZarnStreamCallbacks* delegate = nil;
  ZarnStreamCallbacks* output = nil;
};

struct ErrorObject final : sc::Error {
  explicit ErrorObject(NSError* object) : object(object) {}
  NSError* object;
};

sc::ErrorPtr wrap(NSError* error) {
  return error ? std::make_shared<ErrorObject>(error) : nullptr;
}

// The flow's opaque sample-buffer types are CoreMedia's references under another name.
CMSampleBufferRef cm(sc::SampleBuffer& buffer) {
  return reinterpret_cast<CMSampleBufferRef>(&buffer);
}

class ScreenCaptureKitService final : public sc::ScreenCaptureApi {
 public:
  void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override {
    @autoreleasepool {
      [SCShareableContent
          getShareableContentExcludingDesktopWindows:excludeDesktopWindows
                                 onScreenWindowsOnly:onScreenWindowsOnly
                                   completionHandler:^(SCShareableContent* content,
                                                       NSError* error) {
                                     completion(
                                         content ? std::make_shared<ShareableContentObject>(content)
                                                 : nullptr,
                                         wrap(error));
                                   }];
    }
  }

  std::vector<std::shared_ptr<sc::Display>> displays(sc::ShareableContent& content) override {
    std::vector<std::shared_ptr<sc::Display>> list;
    @autoreleasepool {
      for (SCDisplay* display in static_cast<ShareableContentObject&>(content).object.displays) {
        list.push_back(std::make_shared<DisplayObject>(display));
      }
    }
    return list;
  }

  std::shared_ptr<sc::ContentFilter> makeContentFilter(sc::Display& display) override {
    @autoreleasepool {
      SCContentFilter* filter =
          [[SCContentFilter alloc] initWithDisplay:static_cast<DisplayObject&>(display).object
                                  excludingWindows:@[]];
      return std::make_shared<ContentFilterObject>(filter);
    }
  }

  std::shared_ptr<sc::Stream> makeStream(sc::ContentFilter& filter,
                                         const sc::StreamConfiguration& configuration,
                                         sc::StreamDelegate& delegate) override {
    @autoreleasepool {
      // Set in the order of the fields.
      SCStreamConfiguration* settings = [[SCStreamConfiguration alloc] init];
      settings.capturesAudio = configuration.capturesAudio;
      settings.channelCount = static_cast<NSInteger>(configuration.channelCount);
      settings.excludesCurrentProcessAudio = configuration.excludesCurrentProcessAudio;
      settings.width = configuration.width;
      settings.height = configuration.height;
      settings.minimumFrameInterval = CMTimeMake(configuration.minimumFrameInterval.value,
                                                 configuration.minimumFrameInterval.timescale);
      settings.showsCursor = configuration.showsCursor;

      ZarnStreamCallbacks* callbacks = [[ZarnStreamCallbacks alloc] initWithTarget:&delegate];
      SCStream* stream =
          [[SCStream alloc] initWithFilter:static_cast<ContentFilterObject&>(filter).object
                             configuration:settings
                                  delegate:callbacks];
      auto made = std::make_shared<StreamObject>(stream);
      made->delegate = callbacks;
      return made;
    }
  }

  bool addStreamOutput(sc::Stream& stream, sc::StreamDelegate& output, sc::OutputType type,
                       sc::SampleHandlerQueue queue, sc::ErrorPtr& error) override {
    @autoreleasepool {
      auto& target = static_cast<StreamObject&>(stream);
      // The capture object is both delegate and output: one callback object serves both.
      ZarnStreamCallbacks* callbacks = [target.delegate forwardsTo:&output]
                                           ? target.delegate
                                           : [[ZarnStreamCallbacks alloc] initWithTarget:&output];
      dispatch_queue_t handlerQueue = nil;
      switch (queue) {
        case sc::SampleHandlerQueue::globalUserInitiated:
          handlerQueue = dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0);
          break;
      }
      NSError* failure = nil;
      const BOOL added = [target.object addStreamOutput:callbacks
                                                   type:static_cast<SCStreamOutputType>(type)
                                     sampleHandlerQueue:handlerQueue
                                                  error:&failure];
      if (!added) {
        error = wrap(failure);
        return false;
      }
      target.output = callbacks;
      return true;
    }
  }

  void startCapture(sc::Stream& stream, ErrorCompletion completion) override {
    @autoreleasepool {
      [static_cast<StreamObject&>(stream).object
          startCaptureWithCompletionHandler:^(NSError* error) {
            completion(wrap(error));
          }];
    }
  }

  void stopCapture(sc::Stream& stream, ErrorCompletion completion) override {
    @autoreleasepool {
      [static_cast<StreamObject&>(stream).object
          stopCaptureWithCompletionHandler:^(NSError* error) {
            completion(wrap(error));
          }];
    }
  }

  std::string localizedDescription(const sc::Error& error) override {
    @autoreleasepool {
      // The text lives in the pool: copy it out before the pool ends. A description that cannot
      // be given as UTF-8 comes out empty.
      const char* text =
          static_cast<const ErrorObject&>(error).object.localizedDescription.UTF8String;
      return text ? std::string(text) : std::string();
    }
  }

  bool sampleBufferIsValid(sc::SampleBuffer& buffer) override {
    return CMSampleBufferIsValid(cm(buffer));
  }

  bool sampleBufferDataIsReady(sc::SampleBuffer& buffer) override {
    return CMSampleBufferDataIsReady(cm(buffer));
  }

  const sc::FormatDescription* sampleBufferFormatDescription(sc::SampleBuffer& buffer) override {
    // Get rule: not ours to release. The flow drops the pointer when it is done; a CFRelease
    // anywhere would over-release the buffer's own description.
    return reinterpret_cast<const sc::FormatDescription*>(
        CMSampleBufferGetFormatDescription(cm(buffer)));
  }

  bool streamBasicDescription(const sc::FormatDescription& format,
                              sc::StreamDescription& description) override {
    const AudioStreamBasicDescription* basic = CMAudioFormatDescriptionGetStreamBasicDescription(
        reinterpret_cast<CMAudioFormatDescriptionRef>(&format));
    if (basic == nullptr) return false;
    description.sampleRate = basic->mSampleRate;
    description.formatFlags = basic->mFormatFlags;
    description.channelsPerFrame = basic->mChannelsPerFrame;
    description.bitsPerChannel = basic->mBitsPerChannel;
    return true;
  }

  std::int32_t audioBufferListWithRetainedBlockBuffer(sc::SampleBuffer& buffer,
                                                      sc::OneBufferList& list,
                                                      sc::BlockBuffer*& retainedBlock) override {
    // The list as the flow prepared it: one buffer, zeroed.
    AudioBufferList bufferList;
    bufferList.mNumberBuffers = list.numberBuffers;
    bufferList.mBuffers[0].mNumberChannels = list.buffer.numberChannels;
    bufferList.mBuffers[0].mDataByteSize = list.buffer.dataByteSize;
    bufferList.mBuffers[0].mData = const_cast<void*>(list.buffer.data);
    CMBlockBufferRef block = nullptr;
    const OSStatus status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
        cm(buffer), nullptr, &bufferList, sizeof(AudioBufferList), kCFAllocatorDefault,
        kCFAllocatorDefault, kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment, &block);
    retainedBlock = reinterpret_cast<sc::BlockBuffer*>(block);
    list.numberBuffers = bufferList.mNumberBuffers;
    list.buffer.numberChannels = bufferList.mBuffers[0].mNumberChannels;
    list.buffer.dataByteSize = bufferList.mBuffers[0].mDataByteSize;
    list.buffer.data = bufferList.mBuffers[0].mData;
    return status;
  }

  void releaseBlockBuffer(sc::BlockBuffer* block) override {
    if (block != nullptr) CFRelease(reinterpret_cast<CMBlockBufferRef>(block));
  }
};

}  // namespace

@implementation ZarnStreamCallbacks {
  sc::StreamDelegate* _target;  // the capture object, which outlives every stream
}

- (instancetype)initWithTarget:(sc::StreamDelegate*)target {
  self = [super init];
  if (self) _target = target;
  return self;
}

- (BOOL)forwardsTo:(sc::StreamDelegate*)target {
  return _target == target;
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
  @autoreleasepool {
    // The flow does not look at the stream it is given; a view of the delivering stream will do.
    StreamObject view(stream);
    _target->streamDidOutputSampleBuffer(view, *reinterpret_cast<sc::SampleBuffer*>(sampleBuffer),
                                         static_cast<sc::OutputType>(type));
  }
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
  @autoreleasepool {
    StreamObject view(stream);
    _target->streamDidStopWithError(view, ErrorObject(error));
  }
}

@end

namespace zarn::platform {

AudioService& systemAudioService() {
  static AudioService* const service =
      new ScreenAudioService(*new ScreenCaptureKitService);  // never destroyed
  return *service;
}

}  // namespace zarn::platform
