#include "loginmessages.h"

#include <algorithm>

// Room of the password field: the e-mail count follows at offset 30.
static const size_t kPasswordRoom = 22;

Fields AccountLoginMessage(const OpcodeTable& numbers, uint32_t requestId, const std::u16string& password,
                           const std::u16string& email)
{
    Fields field;
    for (char16_t unit : password)
        field.U16(uint16_t(unit));
    size_t length = std::min(field.bytes.size(), kPasswordRoom);
    field.bytes.resize(kPasswordRoom, 0);
    return Fields().Op(numbers, "ACCOUNT_LOGIN").U32(requestId).U8(uint8_t(length)).U8(0).Raw(field.bytes).Wide(email);
}

Fields CreateAccount(const OpcodeTable& numbers, uint32_t requestId, const std::u16string& email)
{
    return Fields().Op(numbers, "CREATE_ACCOUNT").U32(requestId).Wide(email);
}

Fields CharacterDelete(const OpcodeTable& numbers, uint32_t requestId, const std::u16string& name)
{
    return Fields().Op(numbers, "CHARACTER_DELETE").U32(requestId).Wide(name);
}

Fields AccountDataFromClient(const OpcodeTable& numbers, uint32_t requestId, const std::vector<uint8_t>& data)
{
    return Fields().Op(numbers, "ACCOUNT_DATA_FROM_CC").U32(requestId).Zeros(4).Raw(data);
}

Fields StreamTerminator(const OpcodeTable& numbers, uint32_t requestId, uint32_t code)
{
    return Fields().Op(numbers, "STREAM_TERMINATOR").U32(requestId).U32(code);
}

Fields CharacterInfo(const OpcodeTable& numbers, uint32_t requestId, const CharacterRow& row,
                     const std::vector<std::vector<uint8_t>>& slots)
{
    uint8_t profession = row.secondProfession > 10 ? 1 : row.secondProfession;
    uint8_t flags = uint8_t(0xC0 | (profession << 2) | (row.characterType ? 2 : 0) | (row.level > 15 ? 1 : 0));
    Fields info = Fields().Op(numbers, "CHARACTER_INFO").U32(requestId).Zeros(20).Wide(row.name)
                      .U16(62).U16(6).U16(row.location).Raw({0x38, 0x34, 0x31, 0x30})
                      .U8(row.heightSex).U8(row.hairSkinColor).U8(row.professionHairStyle).U8(row.campaignFace)
                      .Zeros(16).U8(uint8_t(row.level * 16 + (row.campaignFace >> 4) + 1)).U8(flags)
                      .Raw({0x5C, 0x5C, 0x05, 0x5C, 0x5C, 0x5C, 0x5C});
    for (size_t slot = 0; slot < 5; slot++)
        info.Raw(slot < slots.size() ? slots[slot] : std::vector<uint8_t>(5, 0));
    return info;
}

Fields LoginAnswerTail(const OpcodeTable& numbers, uint32_t requestId)
{
    return Fields()
        .Op(numbers, "ACCOUNT_FRIENDSLIST_END").U32(requestId).U32(1)
        .Op(numbers, "ACCOUNT_PERMISSIONS").U32(requestId).U32(0).U32(4).Zeros(52)
        .Raw({0x04, 0x00, 0x01, 0x00, 0x06, 0x00, 0x0C})
        .Op(numbers, "STREAM_TERMINATOR").U32(requestId).U32(0);
}
