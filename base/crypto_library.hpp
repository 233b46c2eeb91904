// How a process of this system uses the crypto library, settled once, just before its first use:
// the digest, the software keychain's keys and the keychain tool ask for it first, and a process
// that never uses the library (one that only answers "health") never sets it up, which would cost
// it a sixth of its start and a megabyte of memory.
#pragma once

namespace ktarn {

// - The library's error texts are never loaded: every failure this system reports carries its
//   own fixed message, and loading the texts costs a new process a tenth of its first answer.
// - Nor are the library's old name tables for every cipher and digest filled in: this system
//   asks for algorithms only by their present names, and a new process would otherwise spend a
//   quarter of its first "key" answer copying those tables into the names its first lookup uses.
// - The process's random generator is the hash-based one over SHA-256, the digest every request
//   already uses, in place of the library's default counter-mode one over AES, for which a new
//   process would set up every cipher the library has only to seed it. Both are approved
//   generators of the same strength, seeded from the operating system alike, and a generator
//   named in the library's configuration file still takes precedence, since that file is read
//   later, on the library's first real use.
// Idempotent; only the first call does anything.
void prepare_crypto_library();

}  // namespace ktarn
