// Declarations for compile-checking the macOS service on other systems: the ScreenCaptureKit
// subset the service uses. Availability is left out: off macOS clang ignores it.
#pragma once

#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#import <dispatch/dispatch.h>

NS_ASSUME_NONNULL_BEGIN

typedef NS_ENUM(NSInteger, SCStreamOutputType) {
  SCStreamOutputTypeScreen,
  SCStreamOutputTypeAudio,
  SCStreamOutputTypeMicrophone,
};

@interface SCDisplay : NSObject
@end

@interface SCWindow : NSObject
@end

@interface SCShareableContent : NSObject
// The handler gets the content on success, otherwise an error.
+ (void)getShareableContentExcludingDesktopWindows:(BOOL)excludeDesktopWindows
                               onScreenWindowsOnly:(BOOL)onScreenWindowsOnly
                                 completionHandler:
                                     (void (^)(SCShareableContent* _Nullable shareableContent,
                                               NSError* _Nullable error))completionHandler;
@property(readonly) NSArray<SCDisplay*>* displays;
@end

@interface SCContentFilter : NSObject
- (instancetype)initWithDisplay:(SCDisplay*)display excludingWindows:(NSArray<SCWindow*>*)excluded;
@end

@interface SCStreamConfiguration : NSObject
@property(nonatomic, assign) size_t width, height;
@property(nonatomic, assign) CMTime minimumFrameInterval;
@property(nonatomic, assign) BOOL showsCursor, capturesAudio, excludesCurrentProcessAudio;
@property(nonatomic, assign) NSInteger channelCount;
@end

@class SCStream;

// The two callbacks are @optional in the frameworks. They are required here, on purpose: a
// misspelt selector would otherwise compile and simply never be called.
@protocol SCStreamOutput <NSObject>
@required
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type;
@end

@protocol SCStreamDelegate <NSObject>
@required
- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error;
@end

@interface SCStream : NSObject
- (instancetype)init NS_UNAVAILABLE;
- (instancetype)initWithFilter:(SCContentFilter*)contentFilter
                 configuration:(SCStreamConfiguration*)streamConfig
                      delegate:(id<SCStreamDelegate> _Nullable)delegate;
- (BOOL)addStreamOutput:(id<SCStreamOutput>)output
                   type:(SCStreamOutputType)type
     sampleHandlerQueue:(dispatch_queue_t _Nullable)sampleHandlerQueue
                  error:(NSError**)error;
- (void)startCaptureWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
- (void)stopCaptureWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
@end

NS_ASSUME_NONNULL_END
