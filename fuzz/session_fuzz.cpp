// Live login sessions in memory: bytes go through the login NetServer's own
// read step (stream cipher, bytes owed to an earlier message, receive
// buffer) and its real Poll (send stage, raw-data callback with the update
// check, dispatch by number through the message table read from
// install/Data/LoginOpcodes.ini, every handler, buffer consumption).
//
// After every poll: each statement queued so far has a sound form
// (sqlcheck.h); no client got more than one message's replies (28 bytes, the
// update-check answer) in the poll, nor more than 14 reply bytes per byte it
// sent (the update-check ratio); the clear-byte count stays within the send
// buffer; a statement about one account's characters or data comes from a
// session logged in to it; no result was filed. Everything is torn down after each input.
//
// Input: an options byte (bits 0-1: sessions less one; bit 2: each session
// first sends a real CLIENT_SEED, so its cipher is on; bit 3: each session is
// logged in as a finished login leaves it), then chunks, each a header byte
// (bits 0-1: session; bits 2-3: polls after the chunk, 0 lets it join the
// next poll's reads; bits 4-7: length bits 8-11), a length byte, and the
// chunk's bytes (the length is cut to what is left). Polls continue at the
// end until no client has bytes waiting for dispatch.

#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "fuzzsupport.h"
#include "loginharness.h"

namespace {

using namespace loginharness;

constexpr size_t kMostReplyPerPoll = 28;    // the update-check answer
constexpr size_t kMostReplyPerByte = 14;    // 28 bytes for a 2-byte update check
constexpr uint32_t kFirstAccountId = 7;

struct Session {
    NLsocket socket;
    size_t received = 0;   // bytes this client sent so far
};

struct Run {
    std::vector<Session> sessions;
    size_t checkedStatements = 0;

    size_t ReceivedBy(NLsocket socket) const
    {
        for (const Session& session : sessions)
            if (session.socket == socket)
                return session.received;
        return 0;
    }
};

void CheckClient(const Run& run, const KelClient& client, size_t sentBefore)
{
    size_t queued = client.Queued();
    FUZZ_CHECK(queued <= sentBefore + kMostReplyPerPoll);
    FUZZ_CHECK(queued <= kMostReplyPerByte * run.ReceivedBy(client.socket));
    FUZZ_CHECK(!client.cipherOn || client.clearPending <= queued);
    ClientData* record = server.GetClientData(client.id);
    FUZZ_CHECK(record != nullptr);
    FUZZ_CHECK(record->socket == client.socket);
    FUZZ_CHECK(record->pendingQueryId == 0 || record->callback != nullptr);
}

bool LoggedInTo(uint64_t accountId)
{
    for (const auto& entry : server.clients)
        if (entry.second.loggedIn && entry.second.accountId == accountId)
            return true;
    return false;
}

// A statement about one account's characters or data comes only from a
// session logged in to that account.
void CheckAccountsNamed(size_t first)
{
    size_t index = 0;
    for (const QUERY& query : server.database.queue) {
        if (index++ < first)
            continue;
        uint64_t accountId = sqlcheck::AccountNamed(sqlcheck::SentText(query));
        FUZZ_CHECK(accountId == 0 || LoggedInTo(accountId));
    }
}

void PollAndCheck(Run& run)
{
    std::unordered_map<NLsocket, size_t> before;
    for (const auto& entry : server.loginNet->clients)
        before[entry.first] = entry.second.Queued();
    server.loginNet->Poll();
    CloseRefusedConnections();
    for (const auto& entry : server.loginNet->clients)
        CheckClient(run, entry.second, before[entry.first]);
    CheckAccountsNamed(run.checkedStatements);
    run.checkedStatements = CheckStatementsFrom(run.checkedStatements);
    FUZZ_CHECK(server.database.results.empty());
}

bool AnyDispatchWaiting()
{
    for (const auto& entry : server.loginNet->clients)
        if (entry.second.dispatchListed)
            return true;
    return false;
}

void Deliver(Run& run, size_t index, const uint8_t* bytes, size_t count)
{
    Session& session = run.sessions[index];
    session.received += count;
    if (count > 0)
        Receive(session.socket, bytes, count);
}

void SendClientSeed(Run& run, size_t index)
{
    std::vector<uint8_t> seed = ClientSeed();
    Deliver(run, index, seed.data(), seed.size());
    PollAndCheck(run);
    KelClient* client = Find(run.sessions[index].socket);
    FUZZ_CHECK(client != nullptr && client->cipherOn);
}

void LogIn(const Run& run, size_t index)
{
    KelClient* client = Find(run.sessions[index].socket);
    ClientData* record = client ? server.GetClientData(client->id) : nullptr;
    FUZZ_CHECK(record != nullptr);
    record->loggedIn = 1;
    record->accountId = kFirstAccountId + uint32_t(index);
    record->accessLevel = 50;
    record->awaitingFirstPacket = 0;
}

void OpenSessions(Run& run, uint8_t options)
{
    size_t count = size_t(options & 3) + 1;
    for (size_t i = 0; i < count; i++) {
        run.sessions.push_back(Session{kFirstSocket + NLsocket(i)});
        Connect(run.sessions.back().socket);
    }
    for (size_t i = 0; i < count; i++) {
        if (options & 4)
            SendClientSeed(run, i);
        if (options & 8)
            LogIn(run, i);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    StartLoginNet();
    Run run;
    OpenSessions(run, data[0]);
    size_t at = 1;
    while (at + 2 <= size) {
        uint8_t header = data[at];
        size_t length = (size_t(header >> 4) << 8) | data[at + 1];
        at += 2;
        if (length > size - at)
            length = size - at;
        Deliver(run, (header & 3) % run.sessions.size(), data + at, length);
        at += length;
        for (int polls = (header >> 2) & 3; polls > 0; polls--)
            PollAndCheck(run);
    }
    // Each poll that leaves bytes waiting consumed at least one, so an input
    // never needs more polls to drain than it has bytes.
    for (size_t polls = 0; polls <= size && (polls == 0 || AnyDispatchWaiting()); polls++)
        PollAndCheck(run);
    FUZZ_CHECK(!AnyDispatchWaiting());
    TearDown();
    return 0;
}
