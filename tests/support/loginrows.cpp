#include "loginrows.h"

#include "sha256.h"

std::string WideBlock(const std::u16string& text, size_t size)
{
    std::string block;
    for (char16_t unit : text) {
        block += char(unit & 0xFF);
        block += char(unit >> 8);
    }
    block.resize(size, '\0');
    return block;
}

std::string SqlHex(const std::string& bytes)
{
    if (bytes.empty())
        return "''";
    static const char kDigits[] = "0123456789abcdef";
    std::string text = "0x";
    for (unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::string SqlHex(const std::vector<uint8_t>& bytes)
{
    return SqlHex(std::string(bytes.begin(), bytes.end()));
}

std::string PasswordDigest(const std::u16string& password)
{
    // The field as sent, then narrowed in place: k low bytes and a zero,
    // while the bytes behind stay as they were sent.
    std::string field = WideBlock(password, 2 * password.size());
    std::string input = field;
    size_t k = 0;
    while (k < password.size() && (password[k] & 0xFF) != 0) {
        input[k] = char(password[k] & 0xFF);
        k++;
    }
    if (k < input.size())
        input[k] = '\0';
    uint8_t digest[32];
    Sha256(input.data(), digest, uint32_t(input.size()));
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

// Out of line: inlined into a caller that passes std::nullopt, the move
// makes GCC 12 warn about a string that is never there.
AccountRow::AccountRow(std::u16string email_, std::optional<std::string> password_, int32_t accessLevel_,
                       int32_t timeAccountMarked_, int32_t durationOfMark_)
    : email(std::move(email_)), password(std::move(password_)), accessLevel(accessLevel_),
      timeAccountMarked(timeAccountMarked_), durationOfMark(durationOfMark_)
{
}

std::string ItemId(uint32_t accountWord, uint32_t characterWord, uint32_t randomWord)
{
    std::string id;
    for (uint32_t word : {accountWord, characterWord, randomWord})
        for (int i = 0; i < 4; i++)
            id += char(word >> (8 * i));
    return id;
}

std::string ItemData(const std::vector<std::pair<size_t, uint8_t>>& bytes)
{
    std::string data(200, '\0');
    for (const auto& [offset, value] : bytes)
        data.at(offset) = char(value);
    return data;
}
