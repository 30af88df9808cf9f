// Declarations for compile-checking the macOS service on other systems: the dispatch subset the
// service uses, in the Objective-C object model (queues are ARC-managed objects).
#pragma once

#include <stddef.h>
#include <stdint.h>

#import <objc/NSObject.h>

#ifdef __cplusplus
#define DISPATCH_EXPORT extern "C"
#else
#define DISPATCH_EXPORT extern
#endif
#define DISPATCH_NOESCAPE __attribute__((__noescape__))
#define DISPATCH_RETURNS_RETAINED __attribute__((__ns_returns_retained__))
#define DISPATCH_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define DISPATCH_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")

typedef enum : unsigned int {
  QOS_CLASS_USER_INITIATED = 0x19,
} qos_class_t;
static_assert(QOS_CLASS_USER_INITIATED == 0x19, "user-initiated is 0x19");

DISPATCH_ASSUME_NONNULL_BEGIN

@protocol OS_dispatch_object <NSObject>
@end
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
@protocol OS_dispatch_queue_global <OS_dispatch_queue>
@end
@protocol OS_dispatch_queue_attr <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_global>* dispatch_queue_global_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;

typedef void (^dispatch_block_t)(void);

// flags must be 0.
DISPATCH_EXPORT dispatch_queue_global_t dispatch_get_global_queue(intptr_t identifier,
                                                                  uintptr_t flags);

#define DISPATCH_QUEUE_SERIAL NULL
DISPATCH_EXPORT DISPATCH_RETURNS_RETAINED dispatch_queue_t
dispatch_queue_create(const char* _Nullable label, dispatch_queue_attr_t _Nullable attr);

// Deadlocks when called from the queue itself.
DISPATCH_EXPORT void dispatch_sync(dispatch_queue_t queue,
                                   DISPATCH_NOESCAPE dispatch_block_t block);
DISPATCH_EXPORT void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);

DISPATCH_ASSUME_NONNULL_END
