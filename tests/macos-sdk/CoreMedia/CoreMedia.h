// Declarations for compile-checking the macOS service on other systems: the CoreMedia subset the
// service uses (CMTime and the sample-buffer calls).
#pragma once

#import <CoreAudioTypes/CoreAudioTypes.h>
#import <CoreFoundation/CoreFoundation.h>

typedef struct {
  int64_t value;
  int32_t timescale;
  uint32_t flags;
  int64_t epoch;
} CMTime;
extern "C" CMTime CMTimeMake(int64_t value, int32_t timescale);

typedef struct opaqueCMSampleBuffer* CMSampleBufferRef;
typedef struct OpaqueCMBlockBuffer* CMBlockBufferRef;
typedef const struct opaqueCMFormatDescription* CMFormatDescriptionRef;
typedef CMFormatDescriptionRef CMAudioFormatDescriptionRef;

extern "C" Boolean CMSampleBufferIsValid(CMSampleBufferRef _Nonnull sbuf);
extern "C" Boolean CMSampleBufferDataIsReady(CMSampleBufferRef _Nonnull sbuf);
// Get rule: the caller does not own the result.
extern "C" CMFormatDescriptionRef _Nullable CMSampleBufferGetFormatDescription(
    CMSampleBufferRef _Nonnull sbuf);
// Points inside the format description; NULL when it is not audio.
extern "C" const AudioStreamBasicDescription* _Nullable
CMAudioFormatDescriptionGetStreamBasicDescription(CMAudioFormatDescriptionRef _Nonnull desc);
// The block buffer comes retained.
extern "C" OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    CMSampleBufferRef _Nonnull sbuf, size_t* _Nullable bufferListSizeNeededOut,
    AudioBufferList* _Nullable bufferListOut, size_t bufferListSize,
    CFAllocatorRef _Nullable blockBufferStructureAllocator,
    CFAllocatorRef _Nullable blockBufferBlockAllocator, uint32_t flags,
    CMBlockBufferRef _Nullable* _Nullable blockBufferOut);
enum { kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment = 1L << 0 };

// Not in the frameworks, on purpose: the sample buffer is borrowed for one delivery and the format
// description follows the Get rule, so releasing either would over-release it. These make such a
// release fail to compile; the retained block buffer still goes to CFRelease(CFTypeRef).
void CFRelease(CMSampleBufferRef _Nonnull cf) = delete;
void CFRelease(CMFormatDescriptionRef _Nonnull cf) = delete;
