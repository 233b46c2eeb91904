// Whether this test program was built with AddressSanitizer, under which the companion's memory
// figures are its own plus the sanitizer's: KTARN_ADDRESS_SANITIZER is 1 or 0, for g++ and clang.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define KTARN_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KTARN_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef KTARN_ADDRESS_SANITIZER
#define KTARN_ADDRESS_SANITIZER 0
#endif
