#pragma once
// The hardware AES path, chosen at run time: CFB-128 over whole blocks with the processor's
// AES instructions (AES-NI on x86-64, the ARMv8 Crypto Extensions on ARM). Internal to
// brn/crypto: AesCipher calls the two CFB routines first and uses its tables when they
// decline. Elsewhere, or built with VELK_PORTABLE_AES, only the table path exists.
// Nothing here allocates or keeps state between calls, apart from the process-wide switch
// setAesHardwareAllowed, which lets a test or benchmark compare both paths in one program.

#include <cstddef>
#include <cstdint>

namespace brn {

// True when this build has a hardware path and the processor offers its instructions.
bool aesHardwarePresent();
// Allows (the default) or forbids the hardware path for the whole process.
void setAesHardwareAllowed(bool allowed);
// aesHardwarePresent() and allowed: the CFB routines below will do the work.
bool aesHardwareActive();

// CFB-128 over `length` bytes (a multiple of 16) with the forward schedule `roundKeys`
// (AesCipher's big-endian words, 4 x (rounds + 1) of them). `chain` is the running
// chaining value and is left at the last ciphertext block; in and out may be the same
// buffer. Return false, touching nothing, when the hardware path is not active.
bool aesHardwareCfbDecrypt(const uint32_t* roundKeys, int rounds, const unsigned char* in, unsigned char* out,
                           size_t length, unsigned char* chain);
bool aesHardwareCfbEncrypt(const uint32_t* roundKeys, int rounds, const unsigned char* in, unsigned char* out,
                           size_t length, unsigned char* chain);

}  // namespace brn
