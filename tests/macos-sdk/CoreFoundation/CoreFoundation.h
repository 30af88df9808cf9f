// Declarations for compile-checking the macOS service on other systems: the CoreFoundation and
// MacTypes subset the service uses.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
#define CF_EXPORT extern "C"
#else
#define CF_EXPORT extern
#endif

#define CF_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define CF_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")

typedef unsigned char Boolean;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef double Float64;
typedef SInt32 OSStatus;
enum { noErr = 0 };

CF_ASSUME_NONNULL_BEGIN

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;

// A synonym for NULL: the default allocator.
CF_EXPORT const CFAllocatorRef _Nullable kCFAllocatorDefault;

// Crashes on NULL, hence nonnull.
CF_EXPORT void CFRelease(CFTypeRef cf);

CF_ASSUME_NONNULL_END
