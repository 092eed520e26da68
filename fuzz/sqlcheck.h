#pragma once

// The shape every statement of the login server must have. Client bytes may
// reach SQL only as hex literals (0x.. or X'..') or decimal numbers, so a
// statement is accepted when
//   - it is printable ASCII with no control byte, NUL or backslash;
//   - every quoted run is closed, and holds only digits ("..", '..') or, as
//     an X'..' literal, hex digits; nothing outside one opens a comment or
//     a second statement;
//   - it is one of the server's statement texts, every hex literal at the
//     width its column needs and every number a plain unsigned 32-bit one.
// CheckQueuedStatement aborts (via FUZZ_CHECK) on anything else.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "database.h"
#include "fuzzsupport.h"

namespace sqlcheck {

// Statements with a rule beyond their form.
constexpr const char* kItemsDelete = "DELETE FROM items WHERE OwnerCID={U}";
constexpr const char* kCharacterLookup =
    "SELECT ID, HeadArmor, ChestArmor, ArmsArmor, LegArmor, FeetArmor FROM characters WHERE Name={H60} "
    "AND OwnerAccountID={U} LIMIT 1";
constexpr const char* kCharacterDelete = "DELETE FROM characters WHERE ID={U} AND OwnerAccountID={U} LIMIT 1";
constexpr const char* kInterfaceDataUpdate =
    "UPDATE accounts SET InterfaceDataSize={U}, InterfaceData={HX} WHERE AccountID={U} LIMIT 1";

// The statement texts. {Hn}: "0x" and 2n lower-case hex digits; {HX}: the
// same for any n of at least 1 (its byte count is captured); {U}: an
// unsigned 32-bit decimal (captured).
inline const std::vector<std::string>& Templates()
{
    static const std::vector<std::string> templates = {
        "SELECT email FROM accounts WHERE email={H130} LIMIT 1",
        "INSERT INTO accounts(Email) VALUES({H130})",
        "SELECT Password, AccessLevel, AccountID, TimeAccountMarked, DurationOfMark, InterfaceDataSize, "
        "InterfaceData FROM accounts WHERE Email={H130} LIMIT 1",
        "UPDATE accounts SET AccessLevel=50 WHERE AccountID={U} LIMIT 1",
        "UPDATE accounts SET CompHash={H32} WHERE AccountID=\"{U}\"",
        "SELECT Name, Location, HeightSex, HairSkinColor, ProfessionHairStyle, CampaignFace, Level, "
        "HeadArmor, ChestArmor, ArmsArmor, LegArmor, FeetArmor, SecondProfession, CharacterType, MissionID "
        "FROM characters WHERE OwnerAccountID=\"{U}\"",
        kCharacterLookup,
        kItemsDelete,
        "DELETE FROM items WHERE OwnerCID={U} AND OwnerAID=0",
        kCharacterDelete,
        kInterfaceDataUpdate,
        "UPDATE accounts SET InterfaceDataSize=0, InterfaceData=X'' WHERE AccountID={U} LIMIT 1",
    };
    return templates;
}

struct Captures {
    std::vector<uint64_t> numbers;   // {U} values, in order
    std::vector<size_t> hexBytes;    // {HX} byte counts, in order
};

inline bool IsLowerHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

inline bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "0x" and an even number of lower-case hex digits at text[at]; the bytes
// it names, or -1.
inline long HexLiteralAt(const std::string& text, size_t& at)
{
    if (text.compare(at, 2, "0x") != 0)
        return -1;
    size_t end = at + 2;
    while (end < text.size() && IsLowerHex(text[end]))
        end++;
    size_t digits = end - at - 2;
    if (digits % 2 != 0)
        return -1;
    at = end;
    return long(digits / 2);
}

// An unsigned 32-bit decimal without leading zeros at text[at].
inline bool NumberAt(const std::string& text, size_t& at, uint64_t* value)
{
    size_t end = at;
    uint64_t number = 0;
    while (end < text.size() && IsDigit(text[end]) && end - at < 11)
        number = number * 10 + uint64_t(text[end++] - '0');
    size_t digits = end - at;
    if (digits == 0 || digits > 10 || number > 0xFFFFFFFFull || (digits > 1 && text[at] == '0'))
        return false;
    *value = number;
    at = end;
    return true;
}

inline bool Matches(const std::string& pattern, const std::string& text, Captures* captures)
{
    size_t p = 0, t = 0;
    while (p < pattern.size()) {
        if (pattern[p] != '{') {
            if (t >= text.size() || text[t] != pattern[p])
                return false;
            p++, t++;
            continue;
        }
        size_t close = pattern.find('}', p);
        std::string slot = pattern.substr(p + 1, close - p - 1);
        p = close + 1;
        if (slot == "U") {
            uint64_t value = 0;
            if (!NumberAt(text, t, &value))
                return false;
            captures->numbers.push_back(value);
        } else if (slot == "HX") {
            long bytes = HexLiteralAt(text, t);
            if (bytes < 1)
                return false;
            captures->hexBytes.push_back(size_t(bytes));
        } else {
            long bytes = HexLiteralAt(text, t);
            if (bytes != std::stol(slot.substr(1)))
                return false;
        }
    }
    return t == text.size();
}

// The item query of the login answer: one 12-byte id per worn slot, joined
// by OR, and a LIMIT of the id count.
inline bool IsItemsByIdQuery(const std::string& text)
{
    static const std::string head = "SELECT ID, Data, ItemLocType FROM items WHERE ";
    if (text.compare(0, head.size(), head) != 0)
        return false;
    size_t at = head.size();
    uint64_t ids = 0;
    for (;;) {
        if (text.compare(at, 3, "ID=") != 0)
            return false;
        at += 3;
        if (HexLiteralAt(text, at) != 12)
            return false;
        ids++;
        if (text.compare(at, 4, " OR ") != 0)
            break;
        at += 4;
    }
    uint64_t limit = 0;
    if (text.compare(at, 7, " LIMIT ") != 0)
        return false;
    at += 7;
    return NumberAt(text, at, &limit) && at == text.size() && limit == ids;
}

// Quotes closed and holding only what the server itself puts there; no
// comment or statement separator outside them.
inline bool TokensSound(const std::string& text)
{
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c < 0x20 || c > 0x7E || c == '\\' || c == ';' || c == '#')
            return false;
        if ((c == '-' && i + 1 < text.size() && text[i + 1] == '-') ||
            (c == '/' && i + 1 < text.size() && text[i + 1] == '*'))
            return false;
        if (c != '\'' && c != '"' && c != '`')
            continue;
        size_t close = text.find(c, i + 1);
        if (close == std::string::npos)
            return false;
        bool hexLiteral = c == '\'' && i > 0 && (text[i - 1] == 'X' || text[i - 1] == 'x');
        for (size_t j = i + 1; j < close; j++)
            if (hexLiteral ? !isxdigit((unsigned char)text[j]) : !IsDigit(text[j]))
                return false;
        i = close;
    }
    return true;
}

// The text a queued statement sends: its length counts the NUL that goes
// out last, and the "@NOSTATUS" marker is already cut off.
inline std::string SentText(const QUERY& query)
{
    FUZZ_CHECK(query.text != nullptr && query.length >= 1);
    FUZZ_CHECK(query.text[query.length - 1] == '\0');
    return std::string(query.text, query.length - 1);
}

inline void CheckStatement(const std::string& text)
{
    FUZZ_CHECK(TokensSound(text));
    if (IsItemsByIdQuery(text))
        return;
    for (const std::string& pattern : Templates()) {
        Captures captures;
        if (!Matches(pattern, text, &captures))
            continue;
        // The interface data's size is the size of its hex literal.
        if (pattern == kInterfaceDataUpdate)
            FUZZ_CHECK(captures.numbers[0] == captures.hexBytes[0]);
        // Below 10 an OwnerCID names account storage of every account.
        if (pattern == kItemsDelete)
            FUZZ_CHECK(captures.numbers[0] >= 10);
        return;
    }
    fprintf(stderr, "statement of no known form: %s\n", text.c_str());
    FUZZ_CHECK(!"statement of a known form");
}

// The account a per-account statement of a logged-in client names
// (character lookup and deletion, interface data), or 0 for any other.
inline uint64_t AccountNamed(const std::string& text)
{
    Captures captures;
    if (Matches(kCharacterLookup, text, &captures) || Matches(kCharacterDelete, text, &captures) ||
        Matches(kInterfaceDataUpdate, text, &captures) ||
        Matches("UPDATE accounts SET InterfaceDataSize=0, InterfaceData=X'' WHERE AccountID={U} LIMIT 1", text,
                &captures))
        return captures.numbers.back();
    return 0;
}

inline void CheckQueuedStatement(const QUERY& query)
{
    CheckStatement(SentText(query));
}

} // namespace sqlcheck
