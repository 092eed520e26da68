// The database layer against the real test server.

#include <dirent.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "waituntil.h"
#include "database.h"
#include "loopwait.h"
#include "privatedb.h"
#include "tcprelay.h"
#include "testdb.h"
#include "threads.h"

namespace {

std::string Captured(const std::function<void()>& run)
{
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

size_t ThreadCount()
{
    size_t count = 0;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* entry = readdir(tasks))
        count += entry->d_name[0] != '.';
    closedir(tasks);
    return count;
}

// The server's connections to the database (SHOW PROCESSLIST rows: Id, User,
// Host, db, Command, Time, State, Info, ...).
std::vector<std::vector<std::optional<std::string>>> Connections(FreshDatabase& fresh)
{
    auto rows = fresh.Rows("SHOW PROCESSLIST");
    std::erase_if(rows, [&](const auto& row) { return row[3] != fresh.Name(); });
    return rows;
}

uint32_t Queue(Database& db, const std::string& text) { return db.Query(text.c_str(), int(text.size())); }

void FreeResults(Database& db)
{
    for (auto& entry : std::unordered_map<uint32_t, QUERY_RESULT>(db.results))
        db.FreeResult(entry.first);
}

class DatabaseTest : public testing::Test {
protected:
    // Through another port (a relay's) when port is not 0.
    bool Connect(Database& db, int pipes, const char* password = nullptr, uint16_t port = 0)
    {
        DatabaseSettings server = TestServer();
        server.name = fresh.Name();
        server.password = password ? password : server.password;
        server.port = port ? port : server.port;
        return Connect(db, pipes, server);
    }

    bool Connect(Database& db, int pipes, const DatabaseSettings& server)
    {
        bool ok = false;
        lastOutput = Captured([&] {
            db.Init();
            ok = db.Connect(server.host.c_str(), server.user.c_str(), server.password.c_str(),
                            server.name.c_str(), server.port, pipes);
        });
        return ok;
    }

    std::string FlushCaptured(Database& db)
    {
        return Captured([&] { db.Flush(); });
    }

    FreshDatabase fresh;
    std::string lastOutput;
};

TEST_F(DatabaseTest, ConnectRefusesCountsBelowOne)
{
    Database db;
    EXPECT_FALSE(Connect(db, 0));
    EXPECT_FALSE(Connect(db, -1));
    EXPECT_EQ(lastOutput, "");
    EXPECT_TRUE(db.pipes.empty());
}

TEST_F(DatabaseTest, ConnectOpensAtMostTwentyWithFiveLinesEach)
{
    Database db;
    ASSERT_TRUE(Connect(db, 25));
    EXPECT_EQ(db.pipes.size(), 20u);
    const TestDbServer& server = TestServer();
    std::string first = "    Success: Database Name: " + fresh.Name() + "\n    Success: Host: " + server.host +
                        "\n    Success: User: " + server.user + "\n    Success: Port: " +
                        std::to_string(server.port) + "\n[+] Connected: Vessik Database 0\n";
    EXPECT_EQ(lastOutput.substr(0, first.size()), first);
    EXPECT_NE(lastOutput.find("[+] Connected: Vessik Database 19\n"), std::string::npos);
    EXPECT_EQ(lastOutput.find("Vessik Database 20"), std::string::npos);
}

TEST_F(DatabaseTest, ClassSplitForOneToTwentyConnections)
{
    const char* expected[] = {"0", "1 3", "1 2 3", "1 2 3 4", "1 1 2 3 4", "1 1 2 3 3 4", "1 1 2 2 3 3 4",
                              "1 1 2 2 3 3 4 4", "1 1 1 2 2 3 3 4 4", "1 1 1 1 2 2 3 3 4 4",
                              "1 1 1 1 2 2 3 3 3 4 4", "1 1 1 1 2 2 2 3 3 3 4 4", "1 1 1 1 2 2 2 3 3 3 3 4 4",
                              "1 1 1 1 1 2 2 2 3 3 3 3 4 4", "1 1 1 1 1 1 2 2 2 3 3 3 3 4 4",
                              "1 1 1 1 1 1 2 2 2 3 3 3 3 4 4 4", "1 1 1 1 1 1 2 2 2 2 3 3 3 3 4 4 4",
                              "1 1 1 1 1 1 2 2 2 2 3 3 3 3 3 4 4 4", "1 1 1 1 1 1 1 2 2 2 2 3 3 3 3 3 4 4 4",
                              "1 1 1 1 1 1 1 1 2 2 2 2 3 3 3 3 3 4 4 4"};
    for (int n = 1; n <= 20; ++n) {
        auto db = std::make_unique<Database>();
        ASSERT_TRUE(Connect(*db, n));
        std::string classes;
        for (const PIPE& pipe : db->pipes)
            classes += (classes.empty() ? "" : " ") + std::to_string(pipe.queryClass);
        EXPECT_EQ(classes, expected[n - 1]) << n << " connections";
        Captured([&] { db.reset(); });
    }
}

TEST_F(DatabaseTest, FailedConnectKeepsNoConnectionAndARetryStartsAfresh)
{
    Database db;
    EXPECT_FALSE(Connect(db, 3, "wrongpassword"));
    EXPECT_EQ(lastOutput, "Failed to connect to database!\n");
    EXPECT_TRUE(db.pipes.empty());
    ASSERT_TRUE(Connect(db, 2));
    ASSERT_EQ(db.pipes.size(), 2u);
    EXPECT_EQ(db.pipes[0].queryClass, 1);
    EXPECT_EQ(db.pipes[1].queryClass, 3);
}

TEST_F(DatabaseTest, QueuingChoosesClassCutsTheMarkerAndCountsIds)
{
    auto db = std::make_unique<Database>();
    auto four = std::make_unique<Database>();
    std::string select199 = "SELECT " + std::string(192, '1');
    std::string select200 = select199 + "1";
    std::string update200 = "UPDATE accounts SET Password=NULL" + std::string(167, ' ');
    EXPECT_EQ(Queue(*db, select200), 2u);   // no connection yet: short classes only
    EXPECT_EQ(db->queue.back().queryClass, 3);
    ASSERT_TRUE(Connect(*db, 3));
    Queue(*db, select200);
    EXPECT_EQ(db->queue.back().queryClass, 3);
    Queue(*db, update200);
    EXPECT_EQ(db->queue.back().queryClass, 2);
    Queue(*db, "update accounts SET Password=NULL");
    EXPECT_EQ(db->queue.back().queryClass, 1);

    ASSERT_TRUE(Connect(*four, 4));
    Queue(*four, select199);
    EXPECT_EQ(four->queue.back().queryClass, 3);
    uint32_t id = Queue(*four, "s" + select200.substr(1));   // lower case is a select too
    EXPECT_EQ(four->queue.back().queryClass, 4);
    EXPECT_EQ(id, 3u);

    std::string marked = "UPDATE accounts SET AccessLevel=1" + std::string(170, ' ') + "@NOSTATUS";
    four->QueryWithResult(marked.c_str(), int(marked.size()), true);
    const QUERY& query = four->queue.back();
    EXPECT_STREQ(query.text, marked.substr(0, marked.size() - 9).c_str());
    EXPECT_EQ(query.length, marked.size() - 9 + 1);
    EXPECT_EQ(query.queryClass, 2);          // from the length with the marker
    EXPECT_EQ(query.reportNoEffect, 0);
    EXPECT_EQ(query.wantResult, 1);
    EXPECT_EQ(four->queuedCount, 3u);
    std::string output = Captured([&] { db.reset(); four.reset(); });
    EXPECT_EQ(output.find("Query Failed"), std::string::npos) << output;
}

TEST_F(DatabaseTest, IdsSkipZeroAndCountersWrap)
{
    auto db = std::make_unique<Database>();
    db->nextQueryId = 0xFFFFFFFFu;
    db->queuedCount = 4000000000u;
    EXPECT_EQ(Queue(*db, "DO 1"), 0xFFFFFFFFu);
    EXPECT_EQ(db->queuedCount, 0u);
    EXPECT_EQ(Queue(*db, "DO 1"), 1u);
    EXPECT_EQ(db->queuedCount, 1u);
    Captured([&] { db.reset(); });
}

TEST_F(DatabaseTest, FilingTable)
{
    Database db;
    ASSERT_TRUE(Connect(db, 2));
    uint32_t nothing = Queue(db, "SELECT AccountID FROM accounts WHERE AccountID=12345");
    std::string insert = "INSERT INTO accounts(Email) VALUES(0x61)";
    uint32_t inserted = db.QueryWithResult(insert.c_str(), int(insert.size()), true);
    std::string output = FlushCaptured(db);
    EXPECT_EQ(output, "");

    QUERY_RESULT* empty = db.FindResult(nothing);
    ASSERT_NE(empty, nullptr);
    ASSERT_NE(empty->result, nullptr);
    EXPECT_EQ(mysql_num_rows(empty->result), 0u);
    EXPECT_EQ(empty->affectedRows, -1);
    EXPECT_EQ(empty->queryId, nothing);
    QUERY_RESULT* added = db.FindResult(inserted);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->result, nullptr);
    EXPECT_EQ(added->affectedRows, 1);
    EXPECT_EQ(fresh.Value("SELECT AccessLevel FROM accounts"), "50");
    EXPECT_EQ(db.processedCount, 2u);

    uint32_t broken = Queue(db, "SELEC nonsense");
    output = FlushCaptured(db);
    std::string failed = "Query Failed: SELEC nonsense\nError: You have an error in your SQL syntax";
    EXPECT_EQ(output.substr(0, failed.size()), failed);
    EXPECT_NE(output.find("right syntax to use near 'SELEC nonsense"), std::string::npos);
    EXPECT_EQ(output.back(), '\n');
    ASSERT_NE(db.FindResult(broken), nullptr);
    EXPECT_EQ(db.FindResult(broken)->result, nullptr);
    EXPECT_EQ(db.FindResult(broken)->affectedRows, -1);
    EXPECT_EQ(db.processedCount, 2u);

    std::string update = "UPDATE accounts SET AccessLevel=50 WHERE AccountID=999 LIMIT 1";
    uint32_t noEffect = Queue(db, update);
    output = FlushCaptured(db);
    EXPECT_EQ(output, "Query had no effect: " + update +
                          "\nThere is no error associated with this. This message indicates that the query "
                          "affected 0 rows.\n");
    EXPECT_EQ(db.FindResult(noEffect), nullptr);
    EXPECT_EQ(db.processedCount, 3u);

    uint32_t quiet = Queue(db, update + "@NOSTATUS");
    EXPECT_EQ(FlushCaptured(db), "");
    EXPECT_EQ(db.FindResult(quiet), nullptr);
    EXPECT_EQ(db.processedCount, 4u);

    EXPECT_EQ(db.GetResultCount(), 3u);
    EXPECT_EQ(db.GetResult(nothing), empty->result);
    EXPECT_TRUE(db.FreeResult(nothing));
    EXPECT_TRUE(db.FreeResult(nothing));     // no entry: still true
    EXPECT_EQ(db.FindResult(nothing), nullptr);
    EXPECT_EQ(db.GetResult(nothing), nullptr);
    db.FreeResult(inserted);
    db.FreeResult(broken);
    EXPECT_EQ(db.GetResultCount(), 0u);
}

TEST_F(DatabaseTest, RowsThatCannotBeReadAreAFailure)
{
    // The subquery fails while rows are sent, after the statement itself was accepted.
    fresh.Exec("INSERT INTO characters (OwnerAccountID, Name) VALUES (1, 0x61), (1, 0x62)");
    Database db;
    ASSERT_TRUE(Connect(db, 1));
    std::string text = "SELECT ID, (SELECT ID FROM characters) FROM characters";
    uint32_t id = Queue(db, text);
    std::string output = FlushCaptured(db);
    EXPECT_EQ(output, "Query Failed: " + text + "\nError: Subquery returns more than 1 row\n");
    ASSERT_NE(db.FindResult(id), nullptr);
    EXPECT_EQ(db.FindResult(id)->result, nullptr);
    EXPECT_EQ(db.FindResult(id)->affectedRows, -1);
    db.FreeResult(id);
    uint32_t next = Queue(db, "SELECT 1");   // the connection is still in step
    FlushCaptured(db);
    ASSERT_NE(db.GetResult(next), nullptr);
    db.FreeResult(next);
}

// Holds back every worker by taking the pipes' mutexes.
struct HeldPipes {
    explicit HeldPipes(Database& db) : db(db)
    {
        for (PIPE& pipe : db.pipes)
            nlMutexLock(pipe.mutex);
    }
    ~HeldPipes() { Release(); }
    void Release()
    {
        if (released)
            return;
        released = true;
        for (PIPE& pipe : db.pipes)
            nlMutexUnlock(pipe.mutex);
    }
    Database& db;
    bool released = false;
};

void QueueMany(Database& db, const std::string& text, int count)
{
    for (int i = 0; i < count; ++i)
        Queue(db, text);
    db.Process();
}

TEST_F(DatabaseTest, DispatchCapsWithWorkersHeldBack)
{
    Database db;
    ASSERT_TRUE(Connect(db, 2));   // classes 1 and 3
    {
        HeldPipes held(db);
        QueueMany(db, "SELECT 1", 24);
        EXPECT_EQ(db.pipes[0].threads.size(), 24u);   // lends itself below 25
        QueueMany(db, "SELECT 1", 1);
        EXPECT_EQ(db.pipes[0].threads.size(), 25u);
        QueueMany(db, "SELECT 1", 1);
        EXPECT_EQ(db.pipes[0].threads.size(), 25u);   // not at 25
        EXPECT_EQ(db.pipes[1].threads.size(), 1u);
        QueueMany(db, "DO 1@NOSTATUS", 26);           // its own class up to 50
        EXPECT_EQ(db.pipes[0].threads.size(), 50u);
        EXPECT_EQ(db.pipes[1].threads.size(), 2u);
        QueueMany(db, "SELECT 2", 47);
        EXPECT_EQ(db.pipes[1].threads.size(), 49u);
        QueueMany(db, "SELECT 2", 1);                 // takes its class at 49
        EXPECT_EQ(db.pipes[1].threads.size(), 50u);
        QueueMany(db, "SELECT 2", 1);                 // nothing at 50
        EXPECT_EQ(db.queue.size(), 1u);
        EXPECT_EQ(db.GetResultCount(), 0u);           // nothing ran
    }
    EXPECT_EQ(FlushCaptured(db), "");
    EXPECT_TRUE(db.queue.empty());
    EXPECT_EQ(db.GetResultCount(), 75u);              // every SELECT
    EXPECT_EQ(db.processedCount, 101u);
    FreeResults(db);
}

// A loop that pauses between passes: it has work while a queued statement
// could be handed to a pipe, and a finished statement ends its pause.
TEST_F(DatabaseTest, AFinishedStatementEndsThePauseOfTheLoop)
{
    Database db;
    Queue(db, "SELECT 0");
    EXPECT_FALSE(db.HasWorkWaiting());   // no pipe could take it
    ASSERT_TRUE(Connect(db, 1));
    nlWaitForInput(nullptr, 0, nullptr, 0, 0);   // a signal an earlier test left raised
    HeldPipes held(db);
    EXPECT_TRUE(db.HasWorkWaiting());
    QueueMany(db, "SELECT 1", 50);
    EXPECT_EQ(db.queue.size(), 1u);      // the pipe lists fifty
    EXPECT_FALSE(db.HasWorkWaiting());
    EXPECT_EQ(nlWaitForInput(nullptr, 0, nullptr, 0, 0), 0);   // nothing has finished

    held.Release();
    EXPECT_EQ(nlWaitForInput(nullptr, 0, nullptr, 0, 10000), NL_WAKE_SIGNAL);
    db.Process();                        // collects what had finished, hands on the last
    EXPECT_GT(db.GetResultCount(), 0u);
    EXPECT_EQ(FlushCaptured(db), "");
    EXPECT_EQ(db.GetResultCount(), 51u);
    FreeResults(db);
}

TEST_F(DatabaseTest, OneConnectionListsFiftyAndFlushDrainsTheRest)
{
    Database db;
    ASSERT_TRUE(Connect(db, 1));
    HeldPipes held(db);
    for (int i = 0; i < 120; ++i) {
        std::string insert = "INSERT INTO accounts(Email) VALUES(" + std::to_string(1000 + i) + ")";
        db.Execute(insert.c_str(), int(insert.size()));
    }
    db.Process();
    EXPECT_EQ(db.pipes[0].threads.size(), 50u);
    EXPECT_EQ(db.queue.size(), 70u);
    held.Release();
    EXPECT_EQ(FlushCaptured(db), "");
    EXPECT_TRUE(db.queue.empty());
    EXPECT_TRUE(db.pipes[0].threads.empty());
    EXPECT_EQ(fresh.Value("SELECT COUNT(*) FROM accounts"), "120");
}

TEST_F(DatabaseTest, FiveThousandStatementsOverFourConnections)
{
    // A first thread may start helpers of the runtime (sanitizers); count after it.
    CloseHandle(CreateThread(0, [](void*) -> DWORD { return 0; }, nullptr));
    size_t threadsBefore = ThreadCount();
    auto db = std::make_unique<Database>();
    ASSERT_TRUE(Connect(*db, 4));
    std::vector<uint32_t> awaited;
    for (int i = 0; i < 5000; ++i) {
        std::string text;
        switch (i % 3) {
        case 0: text = "INSERT INTO accounts(Email) VALUES(" + std::to_string(i) + ")"; break;
        case 1: text = "SELECT AccountID FROM accounts WHERE AccountID=" + std::to_string(i / 3); break;
        default: text = "UPDATE accounts SET DurationOfMark=" + std::to_string(i) + " LIMIT 1@NOSTATUS"; break;
        }
        uint32_t id = db->QueryWithResult(text.c_str(), int(text.size()), true);
        awaited.push_back(id);
        if (i % 100 == 0)
            db->Process();
    }
    EXPECT_EQ(FlushCaptured(*db), "");
    EXPECT_EQ(db->GetResultCount(), 5000u);
    for (uint32_t id : awaited) {
        QUERY_RESULT* result = db->FindResult(id);
        ASSERT_NE(result, nullptr) << id;
        EXPECT_EQ(result->queryId, id);
        db->FreeResult(id);
    }
    EXPECT_EQ(db->GetResultCount(), 0u);
    EXPECT_EQ(db->processedCount, 5000u);
    EXPECT_EQ(ThreadCount(), threadsBefore + 4);   // one worker a connection, no more
    Captured([&] { db.reset(); });
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(fresh.Value("SELECT COUNT(*) FROM accounts"), "1667");
}

TEST_F(DatabaseTest, DiscardedOutcomesAreNeverFiled)
{
    Database db;
    ASSERT_TRUE(Connect(db, 1));
    HeldPipes held(db);
    std::string bad = "UPDATE nosuchtable SET x=1";
    db.Execute(bad.c_str(), int(bad.size()));              // failed fire-and-forget
    uint32_t running = Queue(db, "SELECT 1");
    db.Process();
    uint32_t queued = Queue(db, "SELECT 2");
    db.Discard(running);                                    // listed on the pipe
    db.Discard(queued);                                     // still in the queue
    uint32_t kept = Queue(db, "SELECT 3");
    held.Release();
    std::string output = FlushCaptured(db);
    EXPECT_NE(output.find("Query Failed: " + bad + "\nError: Table '"), std::string::npos);
    EXPECT_EQ(db.GetResultCount(), 1u);
    ASSERT_NE(db.FindResult(kept), nullptr);
    db.Discard(kept);                                       // filed: freed at once
    db.Discard(12345);                                      // unknown: nothing happens
    EXPECT_EQ(db.GetResultCount(), 0u);
}

TEST_F(DatabaseTest, AWorkerThatCannotStartFailsItsConnection)
{
    Database db;
    FailThreadCreationsForTest(1);
    EXPECT_FALSE(Connect(db, 3));
    EXPECT_EQ(lastOutput, "Failed to connect to database!\n");
    EXPECT_TRUE(db.pipes.empty());
    EXPECT_TRUE(WaitUntil([&] { return Connections(fresh).size() == 1; }));   // the test's own
    ASSERT_TRUE(Connect(db, 3));
    std::string insert = "INSERT INTO accounts(Email) VALUES(0x77)";
    uint32_t id = db.QueryWithResult(insert.c_str(), int(insert.size()), true);
    EXPECT_EQ(FlushCaptured(db), "");
    ASSERT_NE(db.FindResult(id), nullptr);
    EXPECT_EQ(db.FindResult(id)->affectedRows, 1);
    db.FreeResult(id);
}

// The client library stops awaiting an answer after its read time-out while
// the server may still run the statement: it must not be sent again, and
// the outcome filed must be the one the statement had.
TEST_F(DatabaseTest, AStatementHeldByARowLockPastHalfAMinuteRunsOnce)
{
    fresh.Exec("INSERT INTO accounts(AccountID, Email) VALUES(7, 0x07)");
    fresh.Exec("BEGIN; SELECT AccountID FROM accounts WHERE AccountID=7 FOR UPDATE");
    Database db;
    ASSERT_TRUE(Connect(db, 1));
    std::string update = "UPDATE accounts SET DurationOfMark=DurationOfMark+1 WHERE AccountID=7";
    uint32_t id = db.QueryWithResult(update.c_str(), int(update.size()), true);
    db.Process();
    // Released well before the server's own lock wait (50 s) ends.
    EXPECT_TRUE(WaitUntil([&] {
        for (const auto& connection : Connections(fresh)) {
            if (connection[7].value_or("").rfind("UPDATE accounts SET DurationOfMark", 0) == 0 &&
                std::stoi(connection[5].value_or("0")) > 30)
                return true;
        }
        return false;
    }, 45000));
    fresh.Exec("COMMIT");
    EXPECT_EQ(FlushCaptured(db), "");
    ASSERT_NE(db.FindResult(id), nullptr);
    EXPECT_EQ(db.FindResult(id)->affectedRows, 1);
    db.FreeResult(id);
    EXPECT_EQ(fresh.Value("SELECT DurationOfMark FROM accounts WHERE AccountID=7"), "1");
}

// A connection that goes silent fails its statement after the read
// time-out; meanwhile a statement routed to another pipe is answered, and
// afterwards the silent pipe goes on with a new connection.
TEST_F(DatabaseTest, ASilentConnectionFailsItsStatementAfterTheReadTimeOut)
{
    TcpRelay relay(TestServer().port);
    Database db;
    db.SetReadTimeout(4);
    ASSERT_TRUE(Connect(db, 2, nullptr, relay.Port()));   // classes 1 and 3
    relay.Hold(0);
    uint32_t silent = Queue(db, "SELECT 1");
    QueueMany(db, "SELECT 2", 24);                      // the first pipe lists 25: it lends itself no more
    uint32_t elsewhere = Queue(db, "SELECT 3");
    ASSERT_TRUE(WaitUntil([&] {
        db.Process();
        return db.FindResult(elsewhere) != nullptr;
    }));
    EXPECT_EQ(db.FindResult(silent), nullptr);

    std::string output = Captured([&] {
        EXPECT_TRUE(WaitUntil([&] {
            db.Process();
            return db.FindResult(silent) != nullptr;
        }, 30000));
    });
    EXPECT_EQ(output.rfind("Query Failed: SELECT 1\nError: ", 0), 0u) << output;
    EXPECT_EQ(FlushCaptured(db), "");
    EXPECT_EQ(db.GetResultCount(), 26u);
    FreeResults(db);
}

// A lost statement's session is ended and waited for: ending it only asks
// it to stop, and its rollback follows.
TEST_F(DatabaseTest, AnEndedSessionIsGoneBeforeThePipeGoesOn)
{
    fresh.Exec("CREATE TABLE big (v INT); INSERT INTO big SELECT seq FROM seq_1_to_1000000");
    Database db;
    db.SetReadTimeout(1);
    ASSERT_TRUE(Connect(db, 1));
    Queue(db, "UPDATE big SET v=v+1");   // longer than the time-out, and about as long to roll back
    uint32_t id = Queue(db, "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB=DATABASE() AND "
                            "COMMAND='Killed'");
    FlushCaptured(db);
    ASSERT_NE(db.GetResult(id), nullptr);
    EXPECT_STREQ(mysql_fetch_row(db.GetResult(id))[0], "0");
}

TEST_F(DatabaseTest, AKilledConnectionIsReopenedForTheNextStatement)
{
    Database db;
    ASSERT_TRUE(Connect(db, 1));
    unsigned long connectionId = mysql_thread_id(db.pipes[0].mysql);   // its worker is idle
    fresh.Exec("KILL " + std::to_string(connectionId));
    uint32_t id = Queue(db, "SELECT COUNT(*) FROM accounts");
    EXPECT_EQ(FlushCaptured(db), "");
    ASSERT_NE(db.GetResult(id), nullptr);
    MYSQL_ROW row = mysql_fetch_row(db.GetResult(id));
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "0");
    db.FreeResult(id);
    EXPECT_NE(mysql_thread_id(db.pipes[0].mysql), connectionId);
}

TEST_F(DatabaseTest, TeardownWithoutConnectionsFreesTheQueue)
{
    auto db = std::make_unique<Database>();
    Queue(*db, "DO 1");
    Queue(*db, "DO 2");
    EXPECT_EQ(Captured([&] { db->Flush(); }), "");
    EXPECT_EQ(db->queue.size(), 2u);
    EXPECT_EQ(Captured([&] { db.reset(); }), "Queries Processed: 0/2\nShutdown.\n");
}

TEST_F(DatabaseTest, TeardownRunsWhatIsQueuedAndReportsCounts)
{
    auto db = std::make_unique<Database>();
    ASSERT_TRUE(Connect(*db, 2));
    Queue(*db, "SELECT 1");                 // filed, never collected: freed by the teardown
    Queue(*db, "INSERT INTO accounts(Email) VALUES(0x01)@NOSTATUS");
    std::string output = Captured([&] { db.reset(); });
    EXPECT_EQ(output, "Queries Processed: 2/2\nClosing database connection 1...\n"
                      "Closing database connection 2...\nShutdown.\n");
    EXPECT_EQ(fresh.Value("SELECT COUNT(*) FROM accounts"), "1");
}

// A keyed statement lost on a pipe that cannot end its session yet keeps
// its key there: the key's next statement must not run on another pipe.
TEST_F(DatabaseTest, TheKeyOfALostStatementStaysOnItsPipeWhileItsSessionMayRun)
{
    fresh.Exec("INSERT INTO accounts(AccountID, Email) VALUES(7, 0x07)");
    TcpRelay relay(TestServer().port);
    Database db;
    ASSERT_TRUE(Connect(db, 2, nullptr, relay.Port()));   // classes 1 and 3, links 0 and 1
    nlMutexLock(db.pipes[0].mutex);
    QueueMany(db, "DO 0", 50);                            // the first pipe is full
    relay.Hold(1);
    std::string update = "UPDATE accounts SET DurationOfMark=1 WHERE AccountID=7";
    db.Query(update, 7);
    db.Process();
    ASSERT_TRUE(WaitUntil([&] { return relay.HeldBytes(1) > 0; }));
    relay.Refuse(true);
    relay.CutClientSide(1);
    ASSERT_TRUE(WaitUntil([&] {
        Captured([&] { db.Process(); });
        return db.pipes[1].threads.empty();
    }));
    nlMutexUnlock(db.pipes[0].mutex);
    FlushCaptured(db);
    update[update.find('1')] = '2';
    db.Query(update, 7);
    FlushCaptured(db);
    EXPECT_EQ(fresh.Value("SELECT DurationOfMark FROM accounts WHERE AccountID=7"), "0");
}

// The database killed under statements waiting for a row lock, and started
// again: pipes of a user with every right (through a relay, whose attempts
// fail in their handshake meanwhile) and of one with only the rights on its
// schema end no other user's session and serve at once.
TEST_F(DatabaseTest, AfterARestartAPipeEndsNoOtherSessionAndServesAtOnce)
{
    PrivateMariaDb server;
    ASSERT_TRUE(server.Ready()) << server.Failure();
    DatabaseSettings root = server.Settings(), plain = root, relayed = root;
    root.user = "root";
    root.password = "";
    plain.user = plain.password = "plain";
    TcpRelay relay(root.port);
    relayed.port = relay.Port();
    std::string error;
    MYSQL* admin = SqlConnect(root, root.name, true, &error);
    ASSERT_TRUE(RunScript(admin, "CREATE USER plain@'127.0.0.1' IDENTIFIED BY 'plain'; GRANT SELECT, INSERT, UPDATE, "
                                 "DELETE ON " + root.name + ".* TO plain@'127.0.0.1'; INSERT INTO accounts(AccountID, "
                                 "Email) VALUES(7, 0x07); BEGIN; SELECT AccountID FROM accounts WHERE AccountID=7 FOR "
                                 "UPDATE", &error)) << error;
    for (int i = 0; i < 20; i++)   // ids the restarted server's own first sessions do not reach
        mysql_close(server.Connect());
    Database all, ordinary;
    ASSERT_TRUE(Connect(all, 1, relayed));
    ASSERT_TRUE(Connect(ordinary, 1, plain));
    for (Database* db : {&all, &ordinary})
        QueueMany(*db, "UPDATE accounts SET DurationOfMark=1 WHERE AccountID=7", 1);
    std::vector<SqlRow> lost;
    ASSERT_TRUE(WaitUntil([&] {
        std::string ids = "SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE 'UPDATE%' ORDER BY ID";
        return QueryRows(admin, ids, &lost, &error) && lost.size() == 2;
    }));
    ASSERT_TRUE(server.Stop(SIGKILL));   // with the row still locked: both statements are lost
    mysql_close(admin);
    for (Database* db : {&all, &ordinary})
        FlushCaptured(*db);
    Queue(all, "SELECT 0");
    EXPECT_NE(FlushCaptured(all).find("handshake"), std::string::npos);
    ASSERT_TRUE(server.Restart()) << server.Failure();

    std::vector<MYSQL*> others;   // root's, until they hold the ids the pipes' sessions had
    while (others.empty() || mysql_thread_id(others.back()) < std::stoul(*lost[1][0])) {
        others.push_back(SqlConnect(root, "", false, &error));
        ASSERT_NE(others.back(), nullptr) << error;
    }
    ASSERT_LE(mysql_thread_id(others.front()), std::stoul(*lost[0][0]));
    for (Database* db : {&all, &ordinary}) {
        uint32_t id = Queue(*db, "SELECT 1");
        EXPECT_EQ(FlushCaptured(*db), "");
        EXPECT_NE(db->GetResult(id), nullptr);
    }
    for (MYSQL* connection : others) {   // none of them was ended
        EXPECT_EQ(mysql_ping(connection), 0) << mysql_error(connection);
        mysql_close(connection);
    }
}

} // namespace
