// Declarations for compile-checking the macOS service on other systems: the CoreAudio structures
// the service reads. Natural alignment, no packing, as in the real header.
#pragma once

#import <CoreFoundation/CoreFoundation.h>

typedef struct AudioBuffer {
  UInt32 mNumberChannels;
  UInt32 mDataByteSize;
  void* _Nullable mData;
} AudioBuffer;

typedef struct AudioBufferList {
  UInt32 mNumberBuffers;
  AudioBuffer mBuffers[1];  // variable length
} AudioBufferList;

typedef struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  UInt32 mFormatID, mFormatFlags, mBytesPerPacket, mFramesPerPacket, mBytesPerFrame;
  UInt32 mChannelsPerFrame, mBitsPerChannel, mReserved;
} AudioStreamBasicDescription;

enum : UInt32 { kAudioFormatFlagIsFloat = 1U << 0 };
