// The process on macOS: a background application on the main run loop.
//
// Standard input and output deliberately stay the POSIX handles of platform/std_handles.cpp
// rather than NSFileHandle: NSFileHandle's writeData: raises an Objective-C exception when the
// write fails, for instance on a pipe the parent has closed, and an uncaught exception on a writer
// thread would crash the process. write(2) reports the failure as a value the frame writer handles.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <cstdlib>

#include "platform/process.h"

namespace zarn::platform {

void prohibitActivation() {
  @autoreleasepool {
    // No Dock icon, menu bar or window. The result is of no use: nothing depends on it.
    (void)[NSApplication.sharedApplication
        setActivationPolicy:NSApplicationActivationPolicyProhibited];
  }
}

void runMainLoop() {
  @autoreleasepool {
    // On the main thread the main run loop always has the main dispatch queue to serve, so run
    // does not return.
    [[NSRunLoop mainRunLoop] run];
  }
}

void exitProcess(int status) {
  // _Exit, not exit: the frameworks' threads may still run, and exit would run library
  // destructors under them. Nothing is buffered in the process, so nothing is lost.
  std::_Exit(status);
}

}  // namespace zarn::platform
