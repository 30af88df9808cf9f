// Declarations for compile-checking the macOS service on other systems: the root class and
// protocol, with the two messages the service sends.
#pragma once

#import <objc/objc.h>

@protocol NSObject
@end

__attribute__((objc_root_class))
@interface NSObject<NSObject>
+ (instancetype)alloc;
- (instancetype)init;
@end
