#include "loginmessages.h"

#include "serverprocess.h"

namespace abuse {

std::vector<uint8_t> WideZ(const std::u16string& text, size_t width)
{
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(uint8_t(unit));
        bytes.push_back(uint8_t(unit >> 8));
    }
    bytes.resize(width, 0);
    return bytes;
}

Fields CreateAccount(const TestClient& client, uint32_t requestId, const std::u16string& email)
{
    return Fields().Op(client, "CREATE_ACCOUNT").U32(requestId).Wide(email);
}

Fields CharacterDelete(const TestClient& client, uint32_t requestId, const std::u16string& name)
{
    return Fields().Op(client, "CHARACTER_DELETE").U32(requestId).Wide(name);
}

Fields AccountDataFromClient(const TestClient& client, uint32_t requestId,
                             const std::vector<uint8_t>& data)
{
    return Fields().Op(client, "ACCOUNT_DATA_FROM_CC").U32(requestId).Zeros(4).Raw(data);
}

Fields CharacterInfo(const TestClient& client, uint32_t requestId, const CharacterRow& row)
{
    uint8_t secondProfession = row.secondProfession > 10 ? 1 : row.secondProfession;
    uint8_t flags = uint8_t(0xC0 | (secondProfession << 2) | (row.characterType != 0 ? 0x02 : 0) |
                            (row.level > 15 ? 0x01 : 0));
    Fields info = Fields()
                      .Op(client, "CHARACTER_INFO")
                      .U32(requestId)
                      .Zeros(20)
                      .Wide(row.name)
                      .U16(62)
                      .U16(6)
                      .U16(row.location)
                      .Raw({0x38, 0x34, 0x31, 0x30})
                      .Raw({row.heightSex, row.hairSkinColor, row.professionHairStyle, row.campaignFace})
                      .Zeros(16)
                      .U8(uint8_t(row.level * 16 + (row.campaignFace >> 4) + 1))
                      .U8(flags)
                      .Raw({0x5C, 0x5C, 0x05, 0x5C, 0x5C, 0x5C, 0x5C});
    for (const auto& slot : row.slots)
        info.Raw(std::vector<uint8_t>(slot.begin(), slot.end()));
    return info;
}

std::vector<uint8_t> LoginAnswer::Bytes(const TestClient& client) const
{
    Fields answer;
    for (const CharacterRow& row : characters)
        answer.Raw(CharacterInfo(client, requestId, row).bytes);
    // The stored (or default) interface data with the number and request id in its first six bytes.
    std::vector<uint8_t> data = interfaceData;
    std::vector<uint8_t> head = Fields().Op(client, "ACCOUNT_DATA").U32(requestId).bytes;
    for (size_t i = 0; i < head.size() && i < data.size(); i++)
        data[i] = head[i];
    answer.Raw(data);
    answer.Raw(LoginAnswerTail(client, requestId).bytes);
    return answer.bytes;
}

std::vector<uint8_t> DefaultInterfaceBytes(const std::string& installDir)
{
    std::string file = ReadFileText(installDir + "/Data/Packets/DefaultInterface");
    return std::vector<uint8_t>(file.begin(), file.end());
}

} // namespace abuse
