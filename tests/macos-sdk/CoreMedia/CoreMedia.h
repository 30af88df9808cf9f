// Declarations for compile-checking the macOS service on other systems: the CoreMedia subset the
// service uses (CMTime and the sample-buffer calls).
#pragma once

#import <CoreAudioTypes/CoreAudioTypes.h>
#import <CoreFoundation/CoreFoundation.h>

#define CM_EXPORT CF_EXPORT
#define CM_NULLABLE _Nullable
#define CM_NONNULL _Nonnull
#define CM_BRIDGED_TYPE(type) __attribute__((objc_bridge(type)))
#define CM_RETURNS_RETAINED_PARAMETER __attribute__((cf_returns_retained))

#pragma pack(push, 4)

typedef int64_t CMTimeValue;
typedef int32_t CMTimeScale;
typedef int64_t CMTimeEpoch;
typedef uint32_t CMTimeFlags;
typedef struct {
  CMTimeValue value;
  CMTimeScale timescale;
  CMTimeFlags flags;
  CMTimeEpoch epoch;
} CMTime;
static_assert(sizeof(CMTime) == 24, "CMTime is 24 bytes");

CM_EXPORT CMTime CMTimeMake(int64_t value, int32_t timescale);

typedef struct CM_BRIDGED_TYPE(id) opaqueCMSampleBuffer* CMSampleBufferRef;
typedef struct CM_BRIDGED_TYPE(id) OpaqueCMBlockBuffer* CMBlockBufferRef;
typedef const struct CM_BRIDGED_TYPE(id) opaqueCMFormatDescription* CMFormatDescriptionRef;
typedef CMFormatDescriptionRef CMAudioFormatDescriptionRef;

CM_EXPORT Boolean CMSampleBufferIsValid(CMSampleBufferRef CM_NONNULL sbuf);
CM_EXPORT Boolean CMSampleBufferDataIsReady(CMSampleBufferRef CM_NONNULL sbuf);
// Get rule: the caller does not own the result.
CM_EXPORT CMFormatDescriptionRef CM_NULLABLE
CMSampleBufferGetFormatDescription(CMSampleBufferRef CM_NONNULL sbuf);
// Points inside the format description; NULL when it is not audio.
CM_EXPORT const AudioStreamBasicDescription* CM_NULLABLE
CMAudioFormatDescriptionGetStreamBasicDescription(CMAudioFormatDescriptionRef CM_NONNULL desc);

CM_EXPORT OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    CMSampleBufferRef CM_NONNULL sbuf, size_t* CM_NULLABLE bufferListSizeNeededOut,
    AudioBufferList* CM_NULLABLE bufferListOut, size_t bufferListSize,
    CFAllocatorRef CM_NULLABLE blockBufferStructureAllocator,
    CFAllocatorRef CM_NULLABLE blockBufferBlockAllocator, uint32_t flags,
    CM_RETURNS_RETAINED_PARAMETER CMBlockBufferRef CM_NULLABLE* CM_NULLABLE blockBufferOut);

#ifdef __cplusplus
// Not in the frameworks, on purpose: the sample buffer is borrowed for one delivery and the format
// description follows the Get rule, so releasing either would over-release it. These make such a
// release fail to compile; the retained block buffer still goes to CFRelease(CFTypeRef).
void CFRelease(CMSampleBufferRef CM_NONNULL cf) = delete;
void CFRelease(CMFormatDescriptionRef CM_NONNULL cf) = delete;
#endif

enum { kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment = (1L << 0) };
static_assert(kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment == 1,
              "the 16-byte alignment flag is bit 0");

#pragma pack(pop)
