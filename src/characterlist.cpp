#include "characterlist.h"

#include <cstring>

#include "item.h"
#include "kelclient.h"
#include "logindata.h"
#include "opcodes.h"
#include "replies.h"
#include "rowfields.h"
#include "server.h"
#include "sessions.h"
#include "utility.h"

// Columns of the characters SELECT, in its order.
enum CharacterColumn : unsigned int {
    COL_NAME,
    COL_LOCATION,
    COL_HEIGHT_SEX,
    COL_HAIR_SKIN_COLOR,
    COL_PROFESSION_HAIR_STYLE,
    COL_CAMPAIGN_FACE,
    COL_LEVEL,
    COL_HEAD_ARMOR,   // then chest, arms, leg, feet
    COL_SECOND_PROFESSION = COL_HEAD_ARMOR + 5,
    COL_CHARACTER_TYPE,
    COL_MISSION_ID,
};

static const uint32_t kArmorSlots = 5;
static const uint32_t kSlotBytes = 5;
// Constant runs the client expects in every CHARACTER_INFO; the server
// has no value of its own for them. udata is the ASCII text "8410".
static const uint8_t kUdata[4] = {0x38, 0x34, 0x31, 0x30};
static const uint8_t kUd[7] = {0x5C, 0x5C, 0x05, 0x5C, 0x5C, 0x5C, 0x5C};

// False when MissionID holds a value that is not exactly an unsigned 32-bit
// number; NULL reads as 0, like every other NULL number of the row.
static bool ReadCharacter(const RowFields& row, CharacterRecord* record)
{
    row.CopyBytes(COL_NAME, record->name, sizeof record->name);
    record->location = uint16_t(row.Int(COL_LOCATION));
    record->heightSex = uint8_t(row.Int(COL_HEIGHT_SEX));
    record->hairSkinColor = uint8_t(row.Int(COL_HAIR_SKIN_COLOR));
    record->professionHairStyle = uint8_t(row.Int(COL_PROFESSION_HAIR_STYLE));
    record->campaignFace = uint8_t(row.Int(COL_CAMPAIGN_FACE));
    record->level = uint8_t(row.Int(COL_LEVEL));
    for (uint32_t slot = 0; slot < kArmorSlots; slot++)
        row.CopyBytes(COL_HEAD_ARMOR + slot, record->armorIds[slot], sizeof record->armorIds[slot]);
    record->secondProfession = uint8_t(row.Int(COL_SECOND_PROFESSION));
    record->characterType = uint8_t(row.Int(COL_CHARACTER_TYPE));
    return !row.Has(COL_MISSION_ID) || row.U32(COL_MISSION_ID, &record->missionId);
}

// Queues the item query for every slot of every character, in character
// order and slot order; 0 when it could not be queued.
static uint32_t LoadWornItems(const LoginData* login)
{
    uint32_t count = kArmorSlots * login->characterCount;
    uint8_t* ids = new uint8_t[ItemIdSize * count];
    for (uint32_t i = 0; i < login->characterCount; i++)
        memcpy(ids + ItemIdSize * kArmorSlots * i, login->characters[i].armorIds, ItemIdSize * kArmorSlots);
    return LoadItemsById(ids, count);
}

static int32_t FailLogin(ClientData* data)
{
    SendStreamTerminator(RESULT_DATABASE_ERROR, data->chainRequestId, data->socket);
    return -1;
}

int32_t OnCharactersLoaded(QUERY_RESULT* result, ClientData* data)
{
    LoginData* login = static_cast<LoginData*>(data->callbackData);
    if (!result->result || !login)
        return FailLogin(data);
    uint32_t count = uint32_t(mysql_num_rows(result->result));
    if (count == 0)
        return OnCharacterItemsLoaded(nullptr, data);

    login->characters.reset(new CharacterRecord[count]);
    uint32_t filled = 0;
    RowFields row;
    while (filled < count && row.Fetch(result->result)) {
        if (!ReadCharacter(row, &login->characters[filled++]))
            return FailLogin(data);
    }
    login->characterCount = filled;
    if (filled == 0)
        return OnCharacterItemsLoaded(nullptr, data);

    uint32_t queryId = LoadWornItems(login);
    if (queryId == 0)
        return OnCharacterItemsLoaded(nullptr, data);
    ContinueChain(data, queryId, OnCharacterItemsLoaded);
    return 1;
}

// Writes the five bytes of one armour slot: the item's data bytes 0, 1,
// 6, 7 and 5. Only the first match is written, so the message keeps the
// length it announces.
static void WriteArmorSlot(KelClient* client, const uint8_t* slotId, const Item* items, uint32_t itemCount)
{
    for (uint32_t i = 0; i < itemCount; i++) {
        if (memcmp(items[i].id, slotId, ItemIdSize) != 0)
            continue;
        const uint8_t* blob = items[i].GetData();
        const uint8_t bytes[kSlotBytes] = {blob[0], blob[1], blob[6], blob[7], blob[5]};
        client->WriteBytes(bytes, kSlotBytes);
        return;
    }
    client->WriteRepeat(0, kSlotBytes);
}

// Bits 2 to 5 carry the second profession; above 10 it is sent as 1.
static uint8_t CharacterFlags(const CharacterRecord& record)
{
    uint8_t profession = record.secondProfession > 10 ? 1 : record.secondProfession;
    uint8_t flags = uint8_t(0xC0 | (profession << 2));
    if (record.characterType != 0)
        flags |= 0x02;
    if (record.level > 15)
        flags |= 0x01;
    return flags;
}

// CHARACTER_INFO, 92 + 2n bytes (n: the name's units before its first
// unit with a zero low byte):
//   0       2   message number          38 + 2n  4   heightSex, hairSkinColor,
//   2       4   request id                           professionHairStyle, campaignFace
//   6      20   zero                    42 + 2n 16   zero
//  26       2   n                       58 + 2n  1   level * 16 + (campaignFace >> 4) + 1
//  28      2n   name, no terminator     59 + 2n  1   flags (CharacterFlags)
//  28 + 2n  2   62: bytes that follow   60 + 2n  7   ud
//  30 + 2n  2   6                       67 + 2n 25   armour slots: head, chest, arms,
//  32 + 2n  2   location                             leg, feet (WriteArmorSlot)
//  34 + 2n  4   udata
void WriteCharacterInfo(KelClient* client, uint32_t requestId, const CharacterRecord& record,
                        const Item* items, uint32_t itemCount)
{
    uint32_t nameUnits = uint32_t(WideStrLen(reinterpret_cast<const char*>(record.name), kCharacterNameUnits));
    client->Write16(OutboundOpcode("CHARACTER_INFO"));
    client->Write32(requestId);
    client->WriteRepeat(0, 20);
    client->Write16(uint16_t(nameUnits));
    client->WriteBytes(record.name, int32_t(2 * nameUnits));
    client->Write16(62);
    client->Write16(6);
    client->Write16(record.location);
    client->WriteBytes(kUdata, sizeof kUdata);
    client->Write8(record.heightSex);
    client->Write8(record.hairSkinColor);
    client->Write8(record.professionHairStyle);
    client->Write8(record.campaignFace);
    client->WriteRepeat(0, 16);
    client->Write8(uint8_t(record.level * 16 + (record.campaignFace >> 4) + 1));
    client->Write8(CharacterFlags(record));
    client->WriteBytes(kUd, sizeof kUd);
    for (uint32_t slot = 0; slot < kArmorSlots; slot++)
        WriteArmorSlot(client, record.armorIds[slot], items, itemCount);
}

void WriteAccountData(KelClient* client, uint32_t requestId, uint8_t* data, uint32_t size)
{
    if (!data)
        return;
    PutU16(data, OutboundOpcode("ACCOUNT_DATA"));
    PutU32(data + 2, requestId);
    client->WriteBytes(data, int32_t(size));
}

static void WriteLoginAnswer(KelClient* client, ClientData* data, LoginData* login, const Item* items,
                             uint32_t itemCount)
{
    uint32_t requestId = data->chainRequestId;
    for (uint32_t i = 0; i < login->characterCount; i++)
        WriteCharacterInfo(client, requestId, login->characters[i], items, itemCount);
    if (login->interfaceDataSize > 0)
        WriteAccountData(client, requestId, login->interfaceData, uint32_t(login->interfaceDataSize));
    else
        WriteAccountData(client, requestId, server.defaultInterface, server.defaultInterfaceSize);
    client->Write16(OutboundOpcode("ACCOUNT_FRIENDSLIST_END"));
    client->Write32(requestId);
    client->Write32(1);
    SendAccountPermissions(client, data);
    WriteStreamSuccess(client, requestId);
}

int32_t OnCharacterItemsLoaded(QUERY_RESULT* result, ClientData* data)
{
    LoginData* login = static_cast<LoginData*>(data->callbackData);
    if ((result && !result->result) || !login) {
        server.log.Write("[!] Getting items for account characters failed!\n");
        return FailLogin(data);
    }
    uint32_t itemCount = 0;
    Item* items = result ? ItemsFromResult(result->result, &itemCount) : nullptr;
    if (!items)
        itemCount = 0;
    if (login->characterCount > 0)
        memcpy(data->characterName, login->characters[0].name, sizeof data->characterName);

    // A client gone meanwhile (closed by a newer login of its account) gets nothing.
    if (KelClient* client = FindSessionClient(data))
        WriteLoginAnswer(client, data, login, items, itemCount);
    delete[] items;
    login->characters.reset();
    login->characterCount = 0;
    return 0;
}
