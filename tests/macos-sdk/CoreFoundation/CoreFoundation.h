// Declarations for compile-checking the macOS service on other systems: the CoreFoundation and
// MacTypes subset the service uses. The check compiles Objective-C++ only.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef unsigned char Boolean;
typedef uint32_t UInt32;
typedef double Float64;
typedef int32_t OSStatus;
enum { noErr = 0 };

#pragma clang assume_nonnull begin
typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
extern "C" const CFAllocatorRef _Nullable kCFAllocatorDefault;  // NULL: the default allocator
extern "C" void CFRelease(CFTypeRef cf);                        // crashes on NULL, hence nonnull
#pragma clang assume_nonnull end
