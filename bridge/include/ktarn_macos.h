/*
 * The native platform bridge's C interface: the only way the companion's host reaches the
 * operating system, and the only two symbols the bridge exports.
 *
 * ktarn_macos_call(key_name, operation, argument)
 *   Runs one bridge operation ("snapshot", "delete-key", "key" or "sign") for the application
 *   key name and returns its response envelope, a compact JSON object:
 *     {"ok":true,"result":{...}}  or  {"ok":false,"error":"message"}
 *   Each input is a NUL-terminated UTF-8 string or NULL; a NULL or ill-formed input counts as
 *   absent. The bridge never writes to the inputs and keeps no pointer to them after returning.
 *   The call is synchronous, and each answer depends only on the inputs and on the state of the
 *   system at the time (the login keychain, the desktop): what the bridge keeps between calls to
 *   save work (an open keychain connection, keys already decoded) never changes an answer, and no
 *   file lock outlives a call. Calls must not overlap: make them from one thread at a time.
 *
 *   Ownership: the returned buffer is allocated with malloc, holds the JSON text followed by one
 *   NUL and is exactly text length + 1 bytes long. It belongs to the caller, who must hand it to
 *   ktarn_macos_free exactly once. NULL means that no envelope could be produced (serialisation
 *   or allocation failed); there is then nothing to free.
 *
 * ktarn_macos_free(buffer)
 *   Releases a buffer returned by ktarn_macos_call. NULL is allowed and does nothing.
 */
#ifndef KTARN_MACOS_H
#define KTARN_MACOS_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KTARN_MACOS_EXPORT __attribute__((visibility("default")))
#else
#define KTARN_MACOS_EXPORT
#endif

KTARN_MACOS_EXPORT char* ktarn_macos_call(const char* key_name, const char* operation,
                                          const char* argument);
KTARN_MACOS_EXPORT void ktarn_macos_free(char* buffer);

#ifdef __cplusplus
}
#endif

#endif /* KTARN_MACOS_H */
