#include "netcrypt.h"

int32_t NetCrypt(const uint8_t* input, uint8_t* output, int32_t length, CipherState* state)
{
    state->x = 0;
    state->y = 0;
    for (int32_t i = 0; i < length; ++i) {
        state->x = (state->x + 1) & 255;
        uint8_t entry = state->table[state->x];
        state->y = (state->y + entry) & 255;
        uint8_t key = state->table[(entry + entry) & 255];
        output[i] = static_cast<uint8_t>(input[i] ^ key);
    }
    return 0;
}
