#pragma once
// The hardware AES path, chosen at run time: CFB-128 over whole blocks with the processor's
// AES instructions (AES-NI on x86-64, the ARMv8 Crypto Extensions on ARM). Internal to
// brn/crypto: AesCipher calls the two CFB routines first and uses its tables when they
// decline. Elsewhere, or built with VELK_PORTABLE_AES, only the table path exists.
// Nothing here allocates or keeps state between calls; whether the processor has the
// instructions is found once and never changes. Which path one engine takes is its own
// setting (AesCipher::hardwareAllowed), so no call here changes another engine's path.

#include <cstddef>
#include <cstdint>

namespace brn {

// True when this build has a hardware path and the processor offers its instructions: the
// CFB routines below will do the work.
bool aesHardwarePresent();

// CFB-128 over `length` bytes (a multiple of 16) with the forward schedule `roundKeys`
// (AesCipher's big-endian words, 4 x (rounds + 1) of them). `chain` is the running
// chaining value and is left at the last ciphertext block; in and out may be the same
// buffer. Return false, touching nothing, when the hardware path is not present.
bool aesHardwareCfbDecrypt(const uint32_t* roundKeys, int rounds, const unsigned char* in, unsigned char* out,
                           size_t length, unsigned char* chain);
bool aesHardwareCfbEncrypt(const uint32_t* roundKeys, int rounds, const unsigned char* in, unsigned char* out,
                           size_t length, unsigned char* chain);

}  // namespace brn
