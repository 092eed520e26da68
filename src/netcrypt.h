#pragma once

#include <cstdint>

// State of a client's byte-wise XOR stream cipher.
struct CipherState {
    int32_t x;           // first index, 0 to 255
    int32_t y;           // second index, 0 to 255
    uint8_t table[256];  // where the keystream comes from
};

// Enciphers (or deciphers: the same thing) length bytes from input into
// output, which may be the same buffer. The keystream restarts at every
// call: byte i gets table[(2 * table[(i + 1) % 256]) % 256]. Returns 0.
int32_t NetCrypt(const uint8_t* input, uint8_t* output, int32_t length, CipherState* state);
