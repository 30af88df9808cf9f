// Declarations for compile-checking the macOS service on other systems: the application object's
// activation policy.
#pragma once

#import <Foundation/Foundation.h>

NS_ASSUME_NONNULL_BEGIN

typedef NS_ENUM(NSInteger, NSApplicationActivationPolicy) {
  NSApplicationActivationPolicyProhibited = 2,  // the only one the service sets
};

@interface NSApplication : NSObject
@property(class, readonly, strong) __kindof NSApplication* sharedApplication;
- (BOOL)setActivationPolicy:(NSApplicationActivationPolicy)activationPolicy;  // YES on success
@end

NS_ASSUME_NONNULL_END
