// Stand-in: the Core Foundation declarations the macOS platform layer uses (see ../README.md).
#pragma once

#include <stdint.h>

#pragma clang assume_nonnull begin

extern "C" {

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef long CFIndex;
typedef unsigned long CFTypeID;

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFData* CFDataRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFArray* CFArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef struct __CFError* CFErrorRef;

typedef struct CFArrayCallBacks CFArrayCallBacks;
typedef struct CFDictionaryKeyCallBacks CFDictionaryKeyCallBacks;
typedef struct CFDictionaryValueCallBacks CFDictionaryValueCallBacks;

typedef UInt32 CFStringEncoding;
enum CFStringBuiltInEncodings : CFStringEncoding { kCFStringEncodingUTF8 = 0x08000100 };

enum CFNumberType : CFIndex { kCFNumberSInt64Type = 4 };

extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

void CFRelease(CFTypeRef cf);
CFTypeRef CFRetain(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);

CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);

CFTypeID CFNumberGetTypeID(void);
CFNumberRef _Nullable CFNumberCreate(CFAllocatorRef _Nullable allocator, CFNumberType theType,
                                     const void* valuePtr);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

CFStringRef _Nullable CFStringCreateWithBytes(CFAllocatorRef _Nullable alloc,
                                              const UInt8* _Nullable bytes, CFIndex numBytes,
                                              CFStringEncoding encoding,
                                              Boolean isExternalRepresentation);

CFDataRef _Nullable CFDataCreate(CFAllocatorRef _Nullable allocator, const UInt8* _Nullable bytes,
                                 CFIndex length);
CFIndex CFDataGetLength(CFDataRef theData);
const UInt8* _Nullable CFDataGetBytePtr(CFDataRef theData);

CFArrayRef _Nullable CFArrayCreate(CFAllocatorRef _Nullable allocator,
                                   const void* _Nullable* _Nullable values, CFIndex numValues,
                                   const CFArrayCallBacks* _Nullable callBacks);

CFMutableDictionaryRef _Nullable CFDictionaryCreateMutable(
    CFAllocatorRef _Nullable allocator, CFIndex capacity,
    const CFDictionaryKeyCallBacks* _Nullable keyCallBacks,
    const CFDictionaryValueCallBacks* _Nullable valueCallBacks);
void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* _Nullable key,
                          const void* _Nullable value);
const void* _Nullable CFDictionaryGetValue(CFDictionaryRef theDict, const void* _Nullable key);

}  // extern "C"

#pragma clang assume_nonnull end
