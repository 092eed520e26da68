#include "sha256.h"

#include <cstdio>
#include <cstring>

namespace {

const uint32_t kInitialHash[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Everything is uint32_t: with a wider type the rotations would keep high bits.
inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint32_t Ch(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (~x & z); }
inline uint32_t Maj(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (x & z) ^ (y & z); }
inline uint32_t BigSigma0(uint32_t x) { return Rotr(x, 2) ^ Rotr(x, 13) ^ Rotr(x, 22); }
inline uint32_t BigSigma1(uint32_t x) { return Rotr(x, 6) ^ Rotr(x, 11) ^ Rotr(x, 25); }
inline uint32_t SmallSigma0(uint32_t x) { return Rotr(x, 7) ^ Rotr(x, 18) ^ (x >> 3); }
inline uint32_t SmallSigma1(uint32_t x) { return Rotr(x, 17) ^ Rotr(x, 19) ^ (x >> 10); }

inline uint32_t LoadBigEndian(const uint8_t* b)
{
    return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
           (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
}

inline void StoreBigEndian(uint32_t value, uint8_t* b)
{
    b[0] = static_cast<uint8_t>(value >> 24);
    b[1] = static_cast<uint8_t>(value >> 16);
    b[2] = static_cast<uint8_t>(value >> 8);
    b[3] = static_cast<uint8_t>(value);
}

} // namespace

void Sha256Init(Sha256Context* ctx)
{
    ctx->total[0] = 0;
    ctx->total[1] = 0;
    memcpy(ctx->state, kInitialHash, sizeof(kInitialHash));
}

void Sha256ProcessBlock(Sha256Context* ctx, const void* block)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(block);
    uint32_t w[64];
    for (int t = 0; t < 16; t++)
        w[t] = LoadBigEndian(bytes + 4 * t);
    for (int t = 16; t < 64; t++)
        w[t] = SmallSigma1(w[t - 2]) + w[t - 7] + SmallSigma0(w[t - 15]) + w[t - 16];

    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
    for (int t = 0; t < 64; t++) {
        uint32_t t1 = h + BigSigma1(e) + Ch(e, f, g) + kRoundConstants[t] + w[t];
        uint32_t t2 = BigSigma0(a) + Maj(a, b, c);
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
    ctx->state[5] += f;
    ctx->state[6] += g;
    ctx->state[7] += h;
}

void Sha256Update(Sha256Context* ctx, const void* input, uint32_t length)
{
    if (length == 0)
        return;
    const uint8_t* in = static_cast<const uint8_t*>(input);
    uint32_t left = ctx->total[0] % 64;
    uint32_t fill = 64 - left;

    ctx->total[0] += length;
    if (ctx->total[0] < length)
        ctx->total[1]++;

    if (left > 0 && length >= fill) {
        memcpy(ctx->buffer + left, in, fill);
        Sha256ProcessBlock(ctx, ctx->buffer);
        in += fill;
        length -= fill;
        left = 0;
    }
    while (length >= 64) {
        Sha256ProcessBlock(ctx, in);
        in += 64;
        length -= 64;
    }
    if (length > 0)
        memcpy(ctx->buffer + left, in, length);
}

void Sha256Finish(Sha256Context* ctx, void* digest)
{
    static const uint8_t padding[64] = {0x80};
    uint8_t msglen[8];
    StoreBigEndian((ctx->total[0] >> 29) | (ctx->total[1] << 3), msglen);
    StoreBigEndian(ctx->total[0] << 3, msglen + 4);

    uint32_t last = ctx->total[0] % 64;
    uint32_t padLength = last < 56 ? 56 - last : 120 - last;
    Sha256Update(ctx, padding, padLength);
    Sha256Update(ctx, msglen, 8);

    uint8_t* out = static_cast<uint8_t*>(digest);
    for (int i = 0; i < 8; i++)
        StoreBigEndian(ctx->state[i], out + 4 * i);
}

void Sha256(const void* input, void* digest, uint32_t length)
{
    Sha256Context ctx;
    Sha256Init(&ctx);
    Sha256Update(&ctx, input, length);
    Sha256Finish(&ctx, digest);
}

// ---- Debug aids ---------------------------------------------------------------

uint32_t AddU32(uint32_t a, uint32_t b)
{
    uint32_t low = (a & 0xFFFF) + (b & 0xFFFF);
    uint32_t high = (a >> 16) + (b >> 16) + (low >> 16);
    return (high << 16) | (low & 0xFFFF);
}

uint32_t* PackBigEndianWords(const char* text)
{
    uint32_t* words = new uint32_t[16]();
    for (size_t i = 0; i < 64 && text[i] != '\0'; i++)   // 16 words hold 64 bytes
        words[i / 4] |= static_cast<uint32_t>(static_cast<uint8_t>(text[i])) << (24 - 8 * (i % 4));
    printf("%X %X\n", words[0], words[1]);
    return words;
}

namespace {
uint32_t debugHash[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};
uint32_t debugSchedule[64];
} // namespace

void DebugSha256(uint32_t* words, int32_t bitLength)
{
    printf("%X %X l=%d\n", words[0], words[1], bitLength);
    // The padding and the length must fit into the one 16-word block.
    if (bitLength < 0 || bitLength > 440) {
        printf("DebugSha256: message of %d bits does not fit one block\n", bitLength);
        return;
    }
    words[bitLength / 32] |= 0x80u << (24 - bitLength % 32);
    words[15] = static_cast<uint32_t>(bitLength);
    printf("%X %X l=%d\n", words[0], words[1], bitLength);

    uint32_t* w = debugSchedule;
    for (int t = 0; t < 64; t++) {
        if (t < 16)
            w[t] = words[t];
        else
            w[t] = AddU32(AddU32(SmallSigma1(w[t - 2]), w[t - 7]), AddU32(SmallSigma0(w[t - 15]), w[t - 16]));
    }
    uint32_t v[8];
    memcpy(v, debugHash, sizeof(v));
    for (int t = 0; t < 64; t++) {
        uint32_t t1 = AddU32(AddU32(AddU32(v[7], BigSigma1(v[4])), AddU32(Ch(v[4], v[5], v[6]), kRoundConstants[t])), w[t]);
        uint32_t t2 = AddU32(BigSigma0(v[0]), Maj(v[0], v[1], v[2]));
        printf("T1=%d T2=%d\n", static_cast<int32_t>(t1), static_cast<int32_t>(t2));
        memmove(v + 1, v, 7 * sizeof(uint32_t));
        v[4] = AddU32(v[4], t1);
        v[0] = AddU32(t1, t2);
    }
    for (int i = 0; i < 8; i++)
        debugHash[i] = AddU32(debugHash[i], v[i]);
    for (int i = 0; i < 8; i++)
        printf("%X ", debugHash[i]);
}
