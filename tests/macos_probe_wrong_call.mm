// Proof that the macOS compile check bites. As it stands this file uses the declarations the way
// the capture service does and must compile; each ZARN_PROBE_* macro swaps in one mistake of the
// kind the check exists to catch, and the test run expects the compiler to reject it with the
// matching diagnostic.
#ifdef ZARN_PROBE_NON_UMBRELLA_IMPORT
#import <ScreenCaptureKit/SCStream.h>  // only the umbrella headers exist on every SDK layout
#endif
#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>
#import <dispatch/dispatch.h>

@interface ProbeCallbacks : NSObject <SCStreamOutput, SCStreamDelegate>
@end

@implementation ProbeCallbacks
#ifdef ZARN_PROBE_MISSPELT_CALLBACK
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                     type:(SCStreamOutputType)type {
#else
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
#endif
  (void)stream;
  (void)type;
  AudioBufferList list = {1, {{0, 0, nullptr}}};
#ifdef ZARN_PROBE_WRONG_LIST_TYPE
  AudioBuffer* const out = &list.mBuffers[0];  // the buffer instead of the list
#else
  AudioBufferList* const out = &list;
#endif
  CMBlockBufferRef block = nullptr;
  const OSStatus status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
      sampleBuffer, nullptr, out, sizeof(list), kCFAllocatorDefault, kCFAllocatorDefault,
      kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment, &block);
  if (status == noErr && block != nullptr) CFRelease(block);
#ifdef ZARN_PROBE_RELEASE_FORMAT_DESCRIPTION
  CFRelease(CMSampleBufferGetFormatDescription(sampleBuffer));  // not ours: the Get rule
#endif
#ifdef ZARN_PROBE_RELEASE_SAMPLE_BUFFER
  CFRelease(sampleBuffer);  // borrowed for the delivery
#endif
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
  (void)stream;
  (void)error.localizedDescription.UTF8String;
}
@end

void probe(SCDisplay* display) {
  SCStreamConfiguration* settings = [[SCStreamConfiguration alloc] init];
#ifdef ZARN_PROBE_WRONG_PROPERTY_TYPE
  settings.minimumFrameInterval = 1;  // a number of seconds instead of a CMTime
#else
  settings.minimumFrameInterval = CMTimeMake(1, 1);
#endif

#ifdef ZARN_PROBE_NIL_FOR_NONNULL
  SCContentFilter* filter = [[SCContentFilter alloc] initWithDisplay:display excludingWindows:nil];
#else
  SCContentFilter* filter = [[SCContentFilter alloc] initWithDisplay:display excludingWindows:@[]];
#endif

#ifdef ZARN_PROBE_DELEGATE_WITHOUT_PROTOCOL
  NSObject* callbacks = [[NSObject alloc] init];
#else
  ProbeCallbacks* callbacks = [[ProbeCallbacks alloc] init];
#endif
  SCStream* stream = [[SCStream alloc] initWithFilter:filter
                                        configuration:settings
                                             delegate:callbacks];
#ifdef ZARN_PROBE_UNAVAILABLE_INIT
  stream = [[SCStream alloc] init];
#endif

  dispatch_queue_t queue = dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0);
#if defined(ZARN_PROBE_WRONG_SELECTOR)
  (void)[stream addStreamOutput:callbacks type:SCStreamOutputTypeAudio sampleHandlerQueue:queue];
#elif defined(ZARN_PROBE_INTEGER_FOR_ENUM)
  NSError* failure = nil;
  (void)[stream addStreamOutput:callbacks type:1 sampleHandlerQueue:queue error:&failure];
#else
  NSError* failure = nil;
  (void)[stream addStreamOutput:callbacks
                           type:SCStreamOutputTypeAudio
             sampleHandlerQueue:queue
                          error:&failure];
#endif

#ifdef ZARN_PROBE_WRONG_COMPLETION
  [stream startCaptureWithCompletionHandler:^(NSString* text) {
    (void)text;
  }];
#else
  [stream startCaptureWithCompletionHandler:^(NSError* error) {
    (void)error;
  }];
#endif
}
