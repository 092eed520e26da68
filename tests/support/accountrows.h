#pragma once

// Rows of the login tables (loginrows.h) for end-to-end tests: accounts,
// characters and worn items, written straight into a FreshDatabase.
//
//   FreshDatabase db;
//   uint32_t account = AddAccount(db, AccountRow{u"a@b.c"});
//   CharacterRow ann{account, u"Ann"};
//   ann.armor[0] = ItemId(account, 12, 400);
//   AddCharacter(db, ann);
//   AddItem(db, ann.armor[0], ItemData({{0, 0x11}, {1, 0x22}}));

#include <cstdint>
#include <string>

#include "loginrows.h"

class FreshDatabase;

// Inserts the account and returns its AccountID.
uint32_t AddAccount(FreshDatabase& db, const AccountRow& row);
// Inserts the account under a chosen AccountID and returns it.
uint32_t AddAccountWithId(FreshDatabase& db, uint32_t accountId, AccountRow row);

// Inserts the character and returns its ID.
uint32_t AddCharacter(FreshDatabase& db, const CharacterRow& row);

void AddItem(FreshDatabase& db, const std::string& id, const std::string& data, int32_t locationType = 0,
             uint32_t ownerCid = 0, uint32_t ownerAid = 0);
