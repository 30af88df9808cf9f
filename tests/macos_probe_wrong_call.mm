// Proof that the macOS compile check bites. As it stands this file uses the declarations the way
// the capture service does and must compile; each ZARN_PROBE_* macro adds one mistake of the kind
// the check exists to catch, and the test run expects the compiler to reject it with the matching
// diagnostic.
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
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
#ifdef ZARN_PROBE_MISSPELT_CALLBACK
                     type:(SCStreamOutputType)type {
#else
                   ofType:(SCStreamOutputType)type {
#endif
  AudioBufferList list = {1, {{0, 0, nullptr}}};
  CMBlockBufferRef block = nullptr;
  const OSStatus status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
      sampleBuffer, nullptr, &list, sizeof(list), kCFAllocatorDefault, kCFAllocatorDefault,
      kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment, &block);
  if (status == noErr && block != nullptr) CFRelease(block);
#ifdef ZARN_PROBE_WRONG_LIST_TYPE
  CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(  // the buffer instead of the list
      sampleBuffer, nullptr, &list.mBuffers[0], sizeof(list), nullptr, nullptr, 0, &block);
#endif
#ifdef ZARN_PROBE_RELEASE_FORMAT_DESCRIPTION
  CFRelease(CMSampleBufferGetFormatDescription(sampleBuffer));  // not ours: the Get rule
#endif
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
  (void)error.localizedDescription.UTF8String;
}
@end

void probe(SCDisplay* display) {
  SCStreamConfiguration* settings = [[SCStreamConfiguration alloc] init];
  settings.minimumFrameInterval = CMTimeMake(1, 1);
#ifdef ZARN_PROBE_WRONG_PROPERTY_TYPE
  settings.minimumFrameInterval = 1;  // a number of seconds instead of a CMTime
#endif
  SCContentFilter* filter = [[SCContentFilter alloc] initWithDisplay:display excludingWindows:@[]];
#ifdef ZARN_PROBE_NIL_FOR_NONNULL
  filter = [[SCContentFilter alloc] initWithDisplay:display excludingWindows:nil];
#endif
  ProbeCallbacks* callbacks = [[ProbeCallbacks alloc] init];
  SCStream* stream = [[SCStream alloc] initWithFilter:filter
                                        configuration:settings
                                             delegate:callbacks];
#ifdef ZARN_PROBE_DELEGATE_WITHOUT_PROTOCOL
  NSObject* plain = [[NSObject alloc] init];
  stream = [[SCStream alloc] initWithFilter:filter configuration:settings delegate:plain];
#endif
#ifdef ZARN_PROBE_UNAVAILABLE_INIT
  stream = [[SCStream alloc] init];
#endif
  dispatch_queue_t queue = dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0);
  NSError* failure = nil;
  (void)[stream addStreamOutput:callbacks
                           type:SCStreamOutputTypeAudio
             sampleHandlerQueue:queue
                          error:&failure];
#ifdef ZARN_PROBE_WRONG_SELECTOR
  (void)[stream addStreamOutput:callbacks type:SCStreamOutputTypeAudio sampleHandlerQueue:queue];
#endif
  [stream startCaptureWithCompletionHandler:^(NSError* error) {
    (void)error;
  }];
#ifdef ZARN_PROBE_WRONG_COMPLETION
  [stream startCaptureWithCompletionHandler:^(NSString* text) {
    (void)text;
  }];
#endif
}
