#pragma once

// SHA-256 as FIPS 180-2 defines it.

#include <cstdint>

// Running state of one digest; the caller places it.
struct Sha256Context {
    uint32_t total[2];    // message bytes taken so far: low word, high word
    uint32_t state[8];    // intermediate hash value H0..H7
    uint8_t buffer[64];   // bytes of the incomplete block (total[0] % 64 of them)
};

void Sha256Init(Sha256Context* ctx);
void Sha256ProcessBlock(Sha256Context* ctx, const void* block);   // 64 bytes, any alignment
void Sha256Update(Sha256Context* ctx, const void* input, uint32_t length);
void Sha256Finish(Sha256Context* ctx, void* digest);               // 32 bytes

// One-shot digest: note the output comes second, the length third.
void Sha256(const void* input, void* digest, uint32_t length);

// Debug aids, unused by the server; their output goes to the console.
uint32_t AddU32(uint32_t a, uint32_t b);
// 16 words (delete[] them) holding the first 64 bytes of text, big-endian.
uint32_t* PackBigEndianWords(const char* text);
// One-block SHA-256 over words[0..15] with global state that is never reset;
// messages of at most 55 bytes (bitLength <= 440).
void DebugSha256(uint32_t* words, int32_t bitLength);
