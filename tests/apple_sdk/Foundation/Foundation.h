// Stand-in: the Foundation declarations the macOS platform layer uses (see ../README.md).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#pragma clang assume_nonnull begin

// From the Objective-C runtime's header, which Foundation includes.
#define nil nullptr

typedef long NSInteger;
typedef unsigned long NSUInteger;
#if defined(__arm64__) || defined(__aarch64__)
typedef bool BOOL;
#else
typedef signed char BOOL;
#endif

@protocol NSCopying
@end

__attribute__((objc_root_class))
@interface NSObject
+ (instancetype)alloc;
- (instancetype)init;
@end

@interface NSException : NSObject
@end

@interface NSError : NSObject
@end

enum NSComparisonResult : NSInteger {
  NSOrderedAscending = -1L,
  NSOrderedSame,
  NSOrderedDescending,
};

typedef NSUInteger NSStringEncoding;
enum : NSStringEncoding { NSUTF8StringEncoding = 4 };

@interface NSString : NSObject <NSCopying>
+ (nullable instancetype)stringWithUTF8String:(const char*)nullTerminatedCString;
- (nullable instancetype)initWithBytes:(const void*)bytes
                                length:(NSUInteger)len
                              encoding:(NSStringEncoding)encoding;
@property(nullable, readonly) const char* UTF8String;
@property(readonly) const char* fileSystemRepresentation;
- (NSComparisonResult)compare:(NSString*)string;
@end

typedef NSUInteger NSDataBase64EncodingOptions;
typedef NSUInteger NSDataBase64DecodingOptions;

@interface NSData : NSObject <NSCopying>
+ (instancetype)dataWithBytes:(nullable const void*)bytes length:(NSUInteger)length;
- (nullable instancetype)initWithBase64EncodedString:(NSString*)base64String
                                             options:(NSDataBase64DecodingOptions)options;
- (NSString*)base64EncodedStringWithOptions:(NSDataBase64EncodingOptions)options;
@property(readonly) NSUInteger length;
@property(readonly) const void* bytes;
@end

@interface NSNumber : NSObject <NSCopying>
+ (NSNumber*)numberWithBool:(BOOL)value;
+ (NSNumber*)numberWithLongLong:(long long)value;
@end

@interface NSArray : NSObject <NSCopying>
@end

@interface NSMutableArray : NSArray
+ (instancetype)arrayWithCapacity:(NSUInteger)numItems;
- (void)addObject:(id)anObject;
@end

@interface NSDictionary : NSObject <NSCopying>
@end

@interface NSMutableDictionary : NSDictionary
+ (instancetype)dictionaryWithCapacity:(NSUInteger)numItems;
- (void)setObject:(id)anObject forKey:(id<NSCopying>)aKey;
@end

typedef NSUInteger NSJSONWritingOptions;

@interface NSJSONSerialization : NSObject
+ (nullable NSData*)dataWithJSONObject:(id)obj
                               options:(NSJSONWritingOptions)opt
                                 error:(NSError**)error;
@end

@interface NSFileManager : NSObject
@property(class, readonly, strong) NSFileManager* defaultManager;
- (BOOL)fileExistsAtPath:(NSString*)path;
- (NSString*)stringWithFileSystemRepresentation:(const char*)str length:(NSUInteger)len;
@end

extern "C" NSString* NSHomeDirectory(void);

#pragma clang assume_nonnull end
