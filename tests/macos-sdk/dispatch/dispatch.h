// Declarations for compile-checking the macOS service on other systems: the dispatch subset the
// service uses, in the Objective-C object model (queues are ARC-managed objects).
#pragma once

#include <stdint.h>

#import <objc/NSObject.h>

typedef enum : unsigned int { QOS_CLASS_USER_INITIATED = 0x19 } qos_class_t;

#pragma clang assume_nonnull begin
@protocol OS_dispatch_queue <NSObject>
@end
@protocol OS_dispatch_queue_attr <NSObject>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;
typedef void (^dispatch_block_t)(void);

// flags must be 0.
extern "C" dispatch_queue_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags);
#define DISPATCH_QUEUE_SERIAL NULL
extern "C" __attribute__((ns_returns_retained)) dispatch_queue_t dispatch_queue_create(
    const char* _Nullable label, dispatch_queue_attr_t _Nullable attr);
// Deadlocks when called from the queue itself.
extern "C" void dispatch_sync(dispatch_queue_t queue,
                              __attribute__((noescape)) dispatch_block_t block);
extern "C" void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
#pragma clang assume_nonnull end
