// The login continuations on arbitrary rows. A session in memory sends a
// real request (ACCOUNT_LOGIN, CREATE_ACCOUNT or CHARACTER_DELETE) through
// the poll, so its record holds exactly what the handler leaves: the pending
// query, the continuation and the chain's working data. Then, for as long as
// a query is pending, the input makes its outcome - a failure, an affected-row
// count, or a result set of any shape built in memory (fakeresult.h): NULLs,
// empty, short and long values, any number of rows and columns - files it
// under the pending id, and the server's own result pump runs the
// continuation.
//
// After every step: each statement queued so far has a sound form
// (sqlcheck.h), a deletion touches only the session's own account, the
// result was freed, and what the step wrote to the client is nothing, one
// STREAM_TERMINATOR with the request id and a known code, or the whole login
// answer, every CHARACTER_INFO holding the 62 bytes it announces.
//
// Input: an options byte (bits 0-1: the request: login, account creation,
// deletion, login again; bit 2: RequireValidPassword; bit 3:
// LockServerAtStart; bit 4: another session is logged in to account 7; bit 5:
// the cipher is on), then one outcome per step: a byte (bit 7: the
// statement failed; else bits 0-4 the column count, or for a statement
// without rows the affected-row count, bits 0-6 as a signed number), a
// row-count byte (bits 0-3), and each value: a length byte (0xff NULL; 0xfe:
// a 16-bit length follows, at most 2048) and the bytes. Missing input reads
// as zeros.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "characterlist.h"
#include "fakeresult.h"
#include "fuzzsupport.h"
#include "logindata.h"
#include "loginharness.h"
#include "replies.h"

namespace {

using namespace loginharness;

constexpr NLsocket kSocket = kFirstSocket;
constexpr NLsocket kOtherSocket = kFirstSocket + 1;
constexpr uint32_t kRequestId = 0x11223344;
constexpr uint32_t kSessionAccount = 7;
constexpr int kMostSteps = 8;              // the longest chain has three
constexpr size_t kMostValueLength = 2048;
constexpr size_t kStreamTerminatorSize = 10;
constexpr size_t kAnswerTailSize = 10 + 73 + 10;   // friends list end, permissions, terminator

enum Request { LOGIN, CREATE_ACCOUNT, DELETE_CHARACTER, LOGIN_AGAIN };

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string Bytes(size_t count)
    {
        size_t n = count < size_ - at_ ? count : size_ - at_;
        std::string bytes(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        bytes.resize(count, '\0');
        return bytes;
    }
    bool Done() const { return at_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The request as a game client sends it.
std::vector<uint8_t> RequestMessage(Request request)
{
    switch (request) {
    case CREATE_ACCOUNT:
        return CreateAccount(Numbers(), kRequestId, u"new@x").bytes;
    case DELETE_CHARACTER:
        return CharacterDelete(Numbers(), kRequestId, u"Ann").bytes;
    default:
        return AccountLoginMessage(Numbers(), kRequestId, u"abc", u"a@b.c").bytes;
    }
}

bool IsKnownCode(uint32_t code)
{
    switch (code) {
    case RESULT_OK:
    case RESULT_WRONG_PASSWORD:
    case RESULT_SERVER_LOCKED:
    case RESULT_NO_SUCH_ACCOUNT:
    case RESULT_NOT_LOGGED_IN:
    case RESULT_ACCESS_DENIED:
    case RESULT_REQUEST_FAILED:
    case RESULT_DATABASE_ERROR:
    case RESULT_EMAIL_TAKEN:
        return true;
    }
    return false;
}

void CheckStreamTerminator(const std::vector<uint8_t>& bytes, size_t at)
{
    FUZZ_CHECK(ReadU16(bytes, at) == OutboundOpcode("STREAM_TERMINATOR"));
    FUZZ_CHECK(ReadU32(bytes, at + 2) == kRequestId);
    FUZZ_CHECK(IsKnownCode(ReadU32(bytes, at + 6)));
}

// The login answer from `at` to the end: characters CHARACTER_INFOs, each
// with the 62 bytes it announces, ACCOUNT_DATA (stored data of at most 700
// bytes, or the default), and the fixed tail closing with code 0.
void CheckLoginAnswer(const std::vector<uint8_t>& bytes, size_t at, uint32_t characters)
{
    for (uint32_t i = 0; i < characters; i++) {
        FUZZ_CHECK(bytes.size() >= at + 30);
        FUZZ_CHECK(ReadU16(bytes, at) == OutboundOpcode("CHARACTER_INFO"));
        FUZZ_CHECK(ReadU32(bytes, at + 2) == kRequestId);
        uint32_t units = ReadU16(bytes, at + 26);
        FUZZ_CHECK(units <= 30);
        FUZZ_CHECK(bytes.size() >= at + 92 + 2 * units);
        FUZZ_CHECK(ReadU16(bytes, at + 28 + 2 * units) == 62);
        at += 92 + 2 * units;
    }
    FUZZ_CHECK(bytes.size() > at + kAnswerTailSize);
    size_t tail = bytes.size() - kAnswerTailSize;
    size_t accountData = tail - at;
    FUZZ_CHECK(accountData <= kInterfaceDataRoom || accountData == server.defaultInterfaceSize);
    if (accountData >= 6) {
        FUZZ_CHECK(ReadU16(bytes, at) == OutboundOpcode("ACCOUNT_DATA"));
        FUZZ_CHECK(ReadU32(bytes, at + 2) == kRequestId);
    }
    FUZZ_CHECK(ReadU16(bytes, tail) == OutboundOpcode("ACCOUNT_FRIENDSLIST_END"));
    FUZZ_CHECK(ReadU16(bytes, tail + 10) == OutboundOpcode("ACCOUNT_PERMISSIONS"));
    CheckStreamTerminator(bytes, tail + 83);
    FUZZ_CHECK(ReadU32(bytes, tail + 89) == RESULT_OK);
}

struct Run {
    Request request = LOGIN;
    size_t checkedStatements = 0;
    uint32_t charactersListed = 0;   // rows the characters query gave
};

ClientData* Session()
{
    KelClient* client = Find(kSocket);
    return client ? server.GetClientData(client->id) : nullptr;
}

const QUERY* Queued(uint32_t id)
{
    for (const QUERY& query : server.database.queue)
        if (query.id == id)
            return &query;
    return nullptr;
}

// A statement about one account's characters or data names the session's
// own account.
void CheckStatementOwners(size_t first, uint32_t accountId)
{
    size_t index = 0;
    for (const QUERY& query : server.database.queue) {
        if (index++ < first)
            continue;
        uint64_t named = sqlcheck::AccountNamed(sqlcheck::SentText(query));
        FUZZ_CHECK(named == 0 || named == accountId);
    }
}

FakeValue ReadValue(Input& input)
{
    uint8_t length = input.Byte();
    if (length == 0xff)
        return std::nullopt;
    size_t size = length;
    if (length == 0xfe) {
        size = input.Byte();
        size |= size_t(input.Byte()) << 8;
        if (size > kMostValueLength)
            size = kMostValueLength;
    }
    return input.Bytes(size);
}

// The outcome of the pending statement, made from the input.
QUERY_RESULT MakeOutcome(Input& input, uint32_t id, bool returnsRows, FakeResult& builder, Run& run)
{
    uint8_t kind = input.Byte();
    if (kind & 0x80)
        return QUERY_RESULT{nullptr, id, -1};
    if (!returnsRows)
        return QUERY_RESULT{nullptr, id, int32_t(int8_t(kind << 1) >> 1)};
    unsigned int fields = kind & 0x1f;
    size_t rowCount = input.Byte() & 0x0f;
    std::vector<FakeRow> rows(rowCount);
    for (FakeRow& row : rows)
        for (unsigned int i = 0; i < fields; i++)
            row.push_back(ReadValue(input));
    if (Session() && Session()->callback == OnCharactersLoaded)
        run.charactersListed = fields > 0 ? uint32_t(rowCount) : 0;
    return QUERY_RESULT{builder.Build(fields, rows), id, -1};
}

// One pending statement's outcome through the result pump; false when
// nothing is pending any more.
bool Step(Input& input, Run& run, FakeResult& builder)
{
    ClientData* session = Session();
    if (!session || session->pendingQueryId == 0)
        return false;
    uint32_t id = session->pendingQueryId;
    const QUERY* query = Queued(id);
    FUZZ_CHECK(query != nullptr);
    bool returnsRows = strncmp(query->text, "SELECT", 6) == 0;
    bool answersLogin = session->callback == OnCharacterItemsLoaded || session->callback == OnCharactersLoaded;
    uint32_t accountId = session->accountId;

    server.database.results[id] = MakeOutcome(input, id, returnsRows, builder, run);
    KelClient* client = Find(kSocket);
    size_t before = client->sendBuffer.size();
    size_t statementsBefore = run.checkedStatements;
    server.database.ProcessQueryResults(server.clients);

    FUZZ_CHECK(server.database.results.count(id) == 0);
    run.checkedStatements = CheckStatementsFrom(run.checkedStatements);
    CheckStatementOwners(statementsBefore, accountId);
    client = Find(kSocket);
    FUZZ_CHECK(client != nullptr);
    size_t written = client->sendBuffer.size() - before;
    if (written == kStreamTerminatorSize)
        CheckStreamTerminator(client->sendBuffer, before);
    else if (written > 0) {
        FUZZ_CHECK(answersLogin);
        CheckLoginAnswer(client->sendBuffer, before, run.charactersListed);
    }
    return true;
}

void Open(NLsocket socket, bool cipher)
{
    Connect(socket);
    if (!cipher)
        return;
    std::vector<uint8_t> seed = ClientSeed();
    Receive(socket, seed.data(), seed.size());
    server.loginNet->Poll();
}

void LogIn(NLsocket socket, uint32_t accountId)
{
    ClientData* record = server.GetClientData(Find(socket)->id);
    record->loggedIn = 1;
    record->accountId = accountId;
    record->accessLevel = 50;
}

void StartRequest(Run& run, uint8_t options)
{
    run.request = Request(options & 3);
    server.requireValidPassword = options & 4;
    server.lockServerAtStart = options & 8;
    Open(kSocket, options & 32);
    if (options & 16) {
        Open(kOtherSocket, false);
        LogIn(kOtherSocket, kSessionAccount);
    }
    if (run.request == DELETE_CHARACTER || run.request == LOGIN_AGAIN)
        LogIn(kSocket, kSessionAccount + 1);
    std::vector<uint8_t> message = RequestMessage(run.request);
    Receive(kSocket, message.data(), message.size());
    server.loginNet->Poll();
    run.checkedStatements = CheckStatementsFrom(0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input(data, size);
    StartLoginNet();
    Run run;
    StartRequest(run, input.Byte());
    FakeResult builder;   // its rows outlive every result the pump frees
    for (int step = 0; step < kMostSteps && Step(input, run, builder); step++) {
    }
    TearDown();
    return 0;
}
