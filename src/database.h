#pragma once

// The database layer: a set of MySQL connections ("pipes"), a queue of SQL
// statements that the main thread adds without waiting, and the statements'
// outcomes filed by query id for the main thread to collect.
//
// Each pipe has one long-lived worker thread, started when its connection is
// made, that runs the statements handed to that pipe in the order they were
// handed over, one at a time under the pipe's mutex (databaseworker.cpp).
// Statements that share an order key reach the database in the order they
// were queued, also across a lost connection (databaseconnection.h).
// Everything else - queuing, dispatch, collection, filing - runs on the
// main thread and takes no lock; the main thread reads a record's outcome
// only after the worker has published the record's exit code.
//
// Every message of the layer goes to the console (stdout), never to the
// system log.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <mysql.h>

#include "nl.h"
#include "threads.h"

class PipeConnection;
struct ClientData;
struct PipeWorker;

// Exit codes of a statement's run; STILL_ACTIVE while it waits for or holds its pipe.
constexpr uint32_t QUERY_SUCCEEDED = 0;
constexpr uint32_t QUERY_FAILED = 0xFFFFFFFFu;

constexpr int MAX_PIPES = 20;                      // connections per Connect call
constexpr size_t PIPE_WORKER_LIMIT = 50;           // statements listed on one pipe
constexpr size_t PIPE_LENDING_LIMIT = 25;          // a pipe serves other classes below this

// The statement counters run from 0 to COUNTER_LIMIT, then start again at 0.
constexpr uint32_t COUNTER_LIMIT = 4000000000u;
inline void CountUp(uint32_t& counter) { counter = counter >= COUNTER_LIMIT ? 0 : counter + 1; }

// One statement handed to a pipe, from dispatch until it is collected.
struct THREAD_INFO {
    std::atomic<uint32_t> exitCode{STILL_ACTIVE};   // written last by the worker (release)
    MYSQL_RES* result = nullptr;      // the stored result set; null without one or on failure
    uint32_t queryId = 0;
    NLmutex* mutex = nullptr;         // the pipe's mutex
    MYSQL* mysql = nullptr;           // the pipe's connection
    char* text = nullptr;             // owned: the statement, NUL-terminated
    uint32_t length = 0;              // bytes sent: the text's length plus its NUL
    char* error = nullptr;            // owned: the client library's error text, on failure only
    uint32_t affectedRows = 0;        // low 32 bits of the affected-row count
    uint8_t wantResult = 0;           // file a result also for a success without a set
    uint8_t reportNoEffect = 0;       // print a success that changed no rows
    uint8_t discard = 0;              // nobody will collect the outcome: free it when collected
    uint32_t orderKey = 0;            // from the QUERY
    uint8_t lostInFlight = 0;         // its answer was lost: the server may still run it
    uint8_t sessionLeftOpen = 0;      // after it, the pipe had a session that may still run one
};

// The outcome of one statement, filed under its query id.
struct QUERY_RESULT {
    MYSQL_RES* result;       // the result set, or null (failure, or no set)
    uint32_t queryId;
    int32_t affectedRows;    // -1 with a result set or on failure; else rows changed
};

// One open connection.
struct PIPE {
    MYSQL* mysql = nullptr;               // the connection, allocated by the Database
    int8_t queryClass = 0;                // the class it serves first; 0 serves every class
    NLmutex* mutex = nullptr;             // held by the worker while it runs a statement
    std::list<THREAD_INFO*> threads;      // statements handed to it and not yet collected
    PipeWorker* worker = nullptr;         // its worker thread, started with the connection
    std::vector<uint32_t> lostKeys;       // order keys of statements lost in flight, held here
                                          // until the pipe has ended their sessions
};

// One queued statement.
struct QUERY {
    char* text = nullptr;         // owned until dispatch: the statement, NUL-terminated
    uint32_t length = 0;          // bytes to send: the text's length plus its NUL
    uint8_t queryClass = 0;       // 1 to 4
    uint32_t id = 0;
    uint8_t wantResult = 0;
    uint8_t reportNoEffect = 0;
    uint8_t discard = 0;          // set by Database::Discard
    uint32_t orderKey = 0;        // statements of one key keep their queue order; 0: none
};

struct OpenClasses;

class Database {
public:
    Database();
    ~Database();   // waits for every statement, closes the connections
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void Init();

    // How long a connection opened from now on awaits an answer before the
    // statement is given up (tests shorten it).
    void SetReadTimeout(unsigned int seconds) { readTimeout = seconds; }

    // Opens pipeCount connections (at most 20), each with its worker, and
    // assigns the query classes. False when pipeCount is 0 or less, or when a
    // connection or its worker fails; the connections of a failed call are
    // closed again.
    bool Connect(const char* host, const char* user, const char* password, const char* dbName,
                 unsigned int port, int pipeCount);

    // Queue a statement; length is its strlen. Return its query id (never 0).
    // Statements queued with the same nonzero orderKey (one account's, say)
    // reach the database in the order they were queued. A key costs
    // parallelism: give one only to a write that is acknowledged before it
    // runs, and to the reads that must see such writes.
    uint32_t AddQuery(const char* text, int length, bool wantResult, int reportNoEffect, uint32_t orderKey = 0);
    uint32_t Query(const char* text, int length, uint32_t orderKey = 0);
    uint32_t QueryWithResult(const char* text, int length, bool wantResult, uint32_t orderKey = 0);
    // Query for a statement nobody waits for: its outcome is freed, never filed.
    uint32_t Execute(const char* text, int length, uint32_t orderKey = 0);
    // The same for a whole text: its size is the length.
    uint32_t Query(const std::string& text, uint32_t orderKey = 0);
    uint32_t QueryWithResult(const std::string& text, bool wantResult, uint32_t orderKey = 0);
    uint32_t Execute(const std::string& text, uint32_t orderKey = 0);

    // One pump step on the main thread: dispatch, collection. Never waits.
    void Process();
    // Runs Process until the queue is empty and no statement is listed.
    void Flush();
    // True when the next Process could hand a queued statement to a pipe.
    // (A statement that finishes raises nlSignalWake instead.)
    bool HasWorkWaiting();

    QUERY_RESULT* FindResult(uint32_t id);
    bool FreeResult(uint32_t id);
    // Nobody will collect the outcome of statement `id`: free it now when it
    // is filed, or when it is collected otherwise.
    void Discard(uint32_t id);
    MYSQL_RES* GetResult(uint32_t id);
    size_t GetResultCount() const;

    // The result pump of the client sessions (defined with them).
    void ProcessQueryResults(std::unordered_map<uint16_t, ClientData>& clients);

    std::vector<PIPE> pipes;                              // in the order they were opened
    std::list<QUERY> queue;                               // not yet dispatched, oldest first
    std::unordered_map<uint32_t, QUERY_RESULT> results;   // filed outcomes by query id
    uint32_t nextQueryId;                                 // never 0
    uint32_t queuedCount;                                 // statements queued (wraps past 4e9)
    uint32_t processedCount;                              // statements that succeeded (wraps past 4e9)

private:
    // Where the statements of one order key are listed, and how many.
    struct KeyedStatements {
        size_t pipe;
        size_t listed;
    };

    bool WalkQueue(bool handOver);
    PIPE* PipeFor(const QUERY& query, const OpenClasses& classes);
    void HandOver(QUERY& query, PIPE& pipe);
    void Collect(PIPE& pipe);
    void ReleaseKey(PIPE& pipe, const THREAD_INFO& info);
    void Unlist(uint32_t orderKey);
    void Finish(THREAD_INFO* info, uint32_t exitCode);
    void FileResult(uint32_t id, MYSQL_RES* result, int32_t affectedRows, bool discard);
    bool IsIdle() const;
    void ClosePipe(PIPE& pipe);
    void ClosePipes(size_t first);

    unsigned int readTimeout;
    std::unordered_map<uint32_t, KeyedStatements> listedKeys;   // keys with statements on a pipe
    std::unordered_set<uint32_t> heldKeys;                      // keys kept queued by this walk
};

// The query class of a statement (1 to 4) by its first character, its length
// and the number of connections.
uint8_t QueryClassOf(const char* text, int length, size_t pipeCount);

// The class of each of n pipes, in index order.
std::vector<int8_t> QueryClassSplit(size_t n);

// Runs one statement on its pipe's connection under the pipe's mutex, after
// the pipe has ended any session that may still run a lost statement; the
// worker thread's body for each record. Returns the exit code.
uint32_t QueryThreadProc(THREAD_INFO* info, PipeConnection& connection);
