#pragma once

// Sizes of the login conversation's fixed fields, in bytes unless counted
// in UTF-16 units. Text arrives as UTF-16LE and is kept zero-padded to its
// full field.

#include <cstdint>

// An e-mail, the account's key: 65 units in a 130-byte block.
constexpr uint32_t kMaxEmailUnits = 65;
constexpr uint32_t kEmailBlockSize = 2 * kMaxEmailUnits;

// A character name: 30 units in a 60-byte field.
constexpr uint32_t kCharacterNameUnits = 30;
constexpr uint32_t kCharacterNameBytes = 2 * kCharacterNameUnits;

// Interface data: ACCOUNT_DATA_FROM_CC carries it from this offset to the
// end of a receive buffer of at most kInterfaceMessageLimit bytes, and a
// login keeps at most kInterfaceDataRoom bytes of what the account stores.
constexpr uint32_t kInterfaceDataOffset = 10;
constexpr uint32_t kInterfaceMessageLimit = 700;
constexpr uint32_t kInterfaceDataRoom = 700;
