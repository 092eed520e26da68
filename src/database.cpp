// The Database's life: connecting, the query classes of the pipes, teardown.

#include "database.h"

#include <cstdio>

#include "databaseworker.h"
#include "threads.h"

namespace {

// How long a statement's answer is awaited. A connection that went silent
// must not hold a pipe for long; a statement given up may still run on the
// server, but its session is ended before anything else runs
// (databaseconnection.h). So this is just above what a statement here may
// wait for: a row lock, 50 s by the server's default.
constexpr unsigned int READ_TIMEOUT = 60;

void CloseConnection(MYSQL* handle)
{
    mysql_close(handle);
    delete handle;
}

// A connection with its worker. A worker that cannot start fails the
// connection: no thread is started once the server runs.
bool OpenPipe(const ConnectionSettings& settings, PIPE* pipe)
{
    pipe->mysql = new MYSQL();
    mysql_init(pipe->mysql);
    pipe->worker = StartPipeWorker(settings, pipe->mysql);
    if (!pipe->worker) {
        CloseConnection(pipe->mysql);   // frees what the library allocated for the attempt
        return false;
    }
    pipe->mutex = new NLmutex();
    nlMutexInit(pipe->mutex);
    return true;
}

} // namespace

std::vector<int8_t> QueryClassSplit(size_t n)
{
    switch (n) {
    case 0: return {};
    case 1: return {0};
    case 2: return {1, 3};
    case 3: return {1, 2, 3};
    case 4: return {1, 2, 3, 4};
    }
    // Three fifths write, two thirds of each side for short statements.
    // Integer forms of the double products truncated toward zero.
    size_t writers = 3 * n / 5;
    size_t readers = n - writers;
    size_t shortWriters = 2 * writers / 3;
    size_t shortReaders = 2 * readers / 3;
    std::vector<int8_t> classes;
    classes.insert(classes.end(), shortWriters, 1);
    classes.insert(classes.end(), writers - shortWriters, 2);
    classes.insert(classes.end(), shortReaders, 3);
    classes.insert(classes.end(), readers - shortReaders, 4);
    return classes;
}

Database::Database() : nextQueryId(2), queuedCount(0), processedCount(0), readTimeout(READ_TIMEOUT) {}

void Database::Init()
{
    // Initialise the client library here, on the main thread, before any worker exists.
    mysql_library_init(0, nullptr, nullptr);
}

bool Database::Connect(const char* host, const char* user, const char* password, const char* dbName,
                       unsigned int port, int pipeCount)
{
    if (pipeCount <= 0)
        return false;
    if (pipeCount > MAX_PIPES)
        pipeCount = MAX_PIPES;
    ConnectionSettings settings{host, user, password, dbName, port, readTimeout};
    size_t first = pipes.size();
    for (int i = 0; i < pipeCount; ++i) {
        PIPE pipe;
        if (!OpenPipe(settings, &pipe)) {
            printf("Failed to connect to database!\n");
            // A retry starts from the same set, not on top of half of one.
            ClosePipes(first);
            return false;
        }
        printf("    Success: Database Name: %s\n", dbName);
        printf("    Success: Host: %s\n", host);
        printf("    Success: User: %s\n", user);
        printf("    Success: Port: %d\n", static_cast<int>(port));
        printf("[+] Connected: Vessik Database %d\n", i);
        pipes.push_back(pipe);
    }
    std::vector<int8_t> classes = QueryClassSplit(pipes.size());
    for (size_t i = 0; i < pipes.size(); ++i)
        pipes[i].queryClass = classes[i];
    return true;
}

// Stops the pipe's worker, so no statement runs on it, then releases it.
void Database::ClosePipe(PIPE& pipe)
{
    StopPipeWorker(pipe.worker);
    pipe.worker = nullptr;
    if (pipe.mysql) {
        CloseConnection(pipe.mysql);
        pipe.mysql = nullptr;
    }
    if (pipe.mutex) {
        nlMutexDestroy(pipe.mutex);
        delete pipe.mutex;
        pipe.mutex = nullptr;
    }
    for (THREAD_INFO* info : pipe.threads)
        FreeThreadInfo(info);
    pipe.threads.clear();
}

// Closes and removes the pipes from index `first` on.
void Database::ClosePipes(size_t first)
{
    for (size_t i = first; i < pipes.size(); ++i)
        ClosePipe(pipes[i]);
    pipes.resize(first);
}

Database::~Database()
{
    Flush();
    printf("Queries Processed: %u/%u\n", processedCount, queuedCount);

    // Everything that belongs to the client library goes before the library ends.
    for (QUERY& query : queue)
        delete[] query.text;
    queue.clear();
    for (auto& entry : results) {
        if (entry.second.result)
            mysql_free_result(entry.second.result);
    }
    results.clear();

    for (size_t i = 0; i < pipes.size(); ++i) {
        printf("Closing database connection %d...\n", static_cast<int>(i + 1));
        ClosePipe(pipes[i]);
    }
    pipes.clear();
    mysql_server_end();
    printf("Shutdown.\n");
}
