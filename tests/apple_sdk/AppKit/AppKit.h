// Stand-in: the AppKit declarations the macOS platform layer uses (see ../README.md).
#pragma once

#import <Foundation/Foundation.h>

#include <sys/types.h>

#pragma clang assume_nonnull begin

@interface NSRunningApplication : NSObject
@property(readonly) pid_t processIdentifier;
@property(nullable, readonly, copy) NSString* localizedName;
@end

@interface NSWorkspace : NSObject
@property(class, readonly, strong) NSWorkspace* sharedWorkspace;
@property(nullable, readonly, strong) NSRunningApplication* frontmostApplication;
@end

#pragma clang assume_nonnull end
