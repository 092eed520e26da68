#include "accountlogin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "characterlist.h"
#include "kelclient.h"
#include "logindata.h"
#include "loginwire.h"
#include "packetreader.h"
#include "replies.h"
#include "rowfields.h"
#include "server.h"
#include "sessions.h"
#include "sha256.h"
#include "sqltext.h"
#include "utility.h"
#include "widetext.h"

// Offsets in ACCOUNT_LOGIN.
static const uint32_t kPasswordAt = 8;
static const uint32_t kEmailCountAt = 30;
static const uint32_t kEmailAt = 32;

// Columns of the account SELECT, in its order.
enum AccountColumn : unsigned int {
    COL_PASSWORD,
    COL_ACCESS_LEVEL,
    COL_ACCOUNT_ID,
    COL_TIME_MARKED,
    COL_DURATION_OF_MARK,
    COL_INTERFACE_DATA_SIZE,
    COL_INTERFACE_DATA,
};

// Access levels of the tests.
static const uint32_t kHighestMarkedLevel = 25;
static const uint32_t kHighestLockedLevel = 50;
static const uint32_t kLevelAfterMark = 50;

void HashLoginPassword(const uint8_t* field, uint32_t length, uint8_t digest[32])
{
    // One byte more than the field, so the narrowed text always ends in a zero.
    char password[kPasswordFieldRoom + 1];
    memset(password, 0, sizeof password);
    if (length > kPasswordFieldRoom)
        length = kPasswordFieldRoom;
    memcpy(password, field, length);
    UnicodeToAsciiInPlace(password, sizeof password);
    Sha256(password, digest, length);
    memset(password, 0, sizeof password);
}

int32_t HandleAccountLogin(PacketReader* reader, KelClient* client)
{
    if (!reader->Has(kEmailAt))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return reader->ConsumeAll();
    uint32_t requestId = reader->ReadU32();
    uint32_t emailUnits = reader->PeekU16(kEmailCountAt);
    if (emailUnits > kMaxEmailUnits) {
        // No account has such an e-mail; its bytes are never waited for.
        session->requestId = requestId;
        SendStreamTerminator(RESULT_NO_SUCH_ACCOUNT, requestId, session->socket);
        return reader->ConsumeAll();
    }
    if (!reader->Has(kEmailAt + 2 * emailUnits))
        return 0;

    session->requestId = requestId;
    LoginData* login = new LoginData;
    uint32_t passwordLength = reader->ReadU8();
    HashLoginPassword(reader->GetData() + kPasswordAt, passwordLength, login->passwordHash);
    reader->SetPos(kEmailAt);
    reader->ReadBytes(login->email, 2 * emailUnits);

    // Keyed (on a connection that is logged in already) so that it reads the
    // interface data after the writes of it acknowledged before.
    uint32_t queryId = server.database.Query(
        FormatText("SELECT Password, AccessLevel, AccountID, TimeAccountMarked, DurationOfMark, "
                   "InterfaceDataSize, InterfaceData FROM accounts WHERE Email=%s LIMIT 1",
                   HexText(login->email, kEmailBlockSize).c_str()),
        session->accountId);
    StartChain(session, queryId, OnAccountLoginResult, login, DeleteAs<LoginData>);
    printf("Account Name: %s\n", WideTextForConsole(login->email, kMaxEmailUnits).c_str());
    return reader->ConsumeAll();
}

// The password step: the stored digest must equal the computed one. A
// stored value that is not 32 bytes long cannot equal it.
static bool PasswordAccepted(const RowFields& row, const LoginData* login)
{
    if (!server.requireValidPassword || !row.Has(COL_PASSWORD))
        return true;
    return row.Length(COL_PASSWORD) == sizeof login->passwordHash &&
           memcmp(row.Bytes(COL_PASSWORD), login->passwordHash, sizeof login->passwordHash) == 0;
}

AccessDecision DecideAccess(uint32_t accessLevel, bool hasMark, int64_t markTime, int32_t duration,
                            time_t now, bool serverLocked)
{
    AccessDecision decision = {RESULT_OK, accessLevel, false};
    if (accessLevel >= 1 && accessLevel <= kHighestMarkedLevel && hasMark &&
        difftime(now, time_t(markTime)) > double(duration)) {
        decision.accessLevel = kLevelAfterMark;
        decision.markExpired = true;
    }
    if (decision.accessLevel == 0 || decision.accessLevel <= kHighestMarkedLevel)
        decision.resultCode = RESULT_ACCESS_DENIED;
    else if (decision.accessLevel <= kHighestLockedLevel && serverLocked)
        decision.resultCode = RESULT_SERVER_LOCKED;
    return decision;
}

// An account logs in on one connection at a time: the first other
// connection logged in to it is closed.
static void CloseOlderConnection(const ClientData* data, uint32_t accountId)
{
    for (auto& entry : server.clients) {
        ClientData& other = entry.second;
        if (&other == data || other.closed || !other.loggedIn || other.socket == data->socket ||
            other.accountId != accountId)
            continue;
        CloseSession(&other);
        return;
    }
}

static uint32_t RandomWord()
{
    uint32_t word = 0;
    for (int i = 0; i < 4; i++)
        word |= uint32_t(rand() % 256) << (8 * i);
    return word;
}

// The login's own writes are acknowledged by nothing: they take no order key.
static void QueueMarkExpiry(uint32_t accountId)
{
    server.database.Execute(FormatText("UPDATE accounts SET AccessLevel=50 WHERE AccountID=%u LIMIT 1", accountId));
}

static void QueueComputerHash(const ClientData* data)
{
    std::string hash = HexText(data->computerHash, sizeof data->computerHash);
    server.database.Execute(
        FormatText("UPDATE accounts SET CompHash=%s WHERE AccountID=\"%u\"@NOSTATUS", hash.c_str(), data->accountId));
}

// Keeps the stored interface data, cut to what the row really holds.
static void KeepInterfaceData(const RowFields& row, LoginData* login)
{
    int32_t size = row.Int(COL_INTERFACE_DATA_SIZE);
    uint32_t kept = size > 0 ? uint32_t(size) : 0;
    if (kept > kInterfaceDataRoom)
        kept = kInterfaceDataRoom;
    if (kept > row.Length(COL_INTERFACE_DATA))
        kept = uint32_t(row.Length(COL_INTERFACE_DATA));
    row.CopyBytes(COL_INTERFACE_DATA, login->interfaceData, kept);
    login->interfaceDataSize = int16_t(kept);
}

// Keyed: it lists the characters after the deletions acknowledged before.
static uint32_t QueueCharacterList(uint32_t accountId)
{
    return server.database.Query(
        FormatText("SELECT Name, Location, HeightSex, HairSkinColor, ProfessionHairStyle, CampaignFace, "
                   "Level, HeadArmor, ChestArmor, ArmsArmor, LegArmor, FeetArmor, SecondProfession, "
                   "CharacterType, MissionID FROM characters WHERE OwnerAccountID=\"%u\"",
                   accountId),
        accountId);
}

static int32_t Refuse(ClientData* data, uint32_t code)
{
    SendStreamTerminator(code, data->chainRequestId, data->socket);
    return -1;
}

int32_t OnAccountLoginResult(QUERY_RESULT* result, ClientData* data)
{
    LoginData* login = static_cast<LoginData*>(data->callbackData);
    if (!result->result || !login) {
        server.log.Write("Failed to validate login.\n");
        return Refuse(data, RESULT_DATABASE_ERROR);
    }
    RowFields row;
    if (!row.Fetch(result->result))
        return Refuse(data, RESULT_NO_SUCH_ACCOUNT);
    // An id that is not exactly an unsigned 32-bit number would name
    // another account: the login is refused before anything changes.
    uint32_t accountId = 0;
    if (!row.U32(COL_ACCOUNT_ID, &accountId) || accountId == 0)
        return Refuse(data, RESULT_DATABASE_ERROR);
    if (!PasswordAccepted(row, login))
        return Refuse(data, RESULT_WRONG_PASSWORD);
    CloseOlderConnection(data, accountId);

    bool hasMark = row.Has(COL_TIME_MARKED) && row.Has(COL_DURATION_OF_MARK);
    AccessDecision access = DecideAccess(uint32_t(row.Int(COL_ACCESS_LEVEL)), hasMark,
                                         int64_t(row.Int(COL_TIME_MARKED)), row.Int(COL_DURATION_OF_MARK),
                                         time(nullptr), server.lockServerAtStart);
    if (access.markExpired)
        QueueMarkExpiry(accountId);
    if (access.resultCode != RESULT_OK)
        return Refuse(data, access.resultCode);

    data->accountId = accountId;
    data->accessLevel = access.accessLevel;
    data->loggedIn = 1;
    data->loginRandom1 = RandomWord();
    data->loginRandom2 = RandomWord();
    QueueComputerHash(data);
    KeepInterfaceData(row, login);
    ContinueChain(data, QueueCharacterList(accountId), OnCharactersLoaded);
    return 1;
}
