// Declarations for compile-checking the macOS service on other systems: the CoreAudio structures
// the service reads. Natural alignment, no packing, as in the real header.
#pragma once

#include <stddef.h>

#import <CoreFoundation/CoreFoundation.h>

typedef UInt32 AudioFormatID;
typedef UInt32 AudioFormatFlags;

struct AudioBuffer {
  UInt32 mNumberChannels;
  UInt32 mDataByteSize;
  void* _Nullable mData;
};
typedef struct AudioBuffer AudioBuffer;

struct AudioBufferList {
  UInt32 mNumberBuffers;
  AudioBuffer mBuffers[1];  // variable length
};
typedef struct AudioBufferList AudioBufferList;

struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  AudioFormatID mFormatID;
  AudioFormatFlags mFormatFlags;
  UInt32 mBytesPerPacket;
  UInt32 mFramesPerPacket;
  UInt32 mBytesPerFrame;
  UInt32 mChannelsPerFrame;
  UInt32 mBitsPerChannel;
  UInt32 mReserved;
};
typedef struct AudioStreamBasicDescription AudioStreamBasicDescription;

enum : AudioFormatFlags {
  kAudioFormatFlagIsFloat = (1U << 0),
};

// The layouts of 64-bit macOS (arm64 and x86_64), which the service's buffer-list call and the
// frame header depend on.
static_assert(sizeof(AudioBuffer) == 16, "AudioBuffer is 16 bytes");
static_assert(sizeof(AudioBufferList) == 24, "a one-buffer AudioBufferList is 24 bytes");
static_assert(offsetof(AudioBufferList, mBuffers) == 8, "the buffers start at offset 8");
static_assert(sizeof(AudioStreamBasicDescription) == 40, "AudioStreamBasicDescription is 40 bytes");
static_assert(kAudioFormatFlagIsFloat == 1, "the float flag is bit 0");
