// The pump: handing queued statements to pipes and collecting their outcomes.

#include "database.h"

#include <cstdio>

#include "databaseworker.h"
#include "threads.h"

// Which query classes some pipe would still take.
struct OpenClasses {
    bool open[5] = {};
    bool any = false;
};

namespace {

bool PipeTakes(const PIPE& pipe, uint8_t queryClass)
{
    size_t listed = pipe.threads.size();
    bool servesClass = pipe.queryClass == 0 || pipe.queryClass == queryClass || listed < PIPE_LENDING_LIMIT;
    return servesClass && listed < PIPE_WORKER_LIMIT;
}

THREAD_INFO* NewThreadInfo(const QUERY& query, const PIPE& pipe)
{
    THREAD_INFO* info = new THREAD_INFO;
    info->queryId = query.id;
    info->mutex = pipe.mutex;
    info->mysql = pipe.mysql;
    info->text = query.text;
    info->length = query.length;
    info->wantResult = query.wantResult;
    info->reportNoEffect = query.reportNoEffect;
    info->discard = query.discard;
    info->orderKey = query.orderKey;
    return info;
}

OpenClasses FindOpenClasses(const std::vector<PIPE>& pipes)
{
    OpenClasses classes;
    for (uint8_t queryClass = 1; queryClass <= 4; ++queryClass) {
        for (const PIPE& pipe : pipes) {
            if (PipeTakes(pipe, queryClass)) {
                classes.open[queryClass] = classes.any = true;
                break;
            }
        }
    }
    return classes;
}

} // namespace

void Database::Process()
{
    WalkQueue(true);
    for (PIPE& pipe : pipes)
        Collect(pipe);
}

// The pipe that may take a statement now, or null. A keyed statement stays
// behind the earlier ones of its key: it waits while one of them is still
// queued, and follows them onto their pipe while one is listed there (a
// pipe's worker runs its statements in hand-over order). Everything else
// goes to the first pipe, in index order, that takes its class.
PIPE* Database::PipeFor(const QUERY& query, const OpenClasses& classes)
{
    if (query.orderKey != 0) {
        if (heldKeys.count(query.orderKey))
            return nullptr;
        auto listed = listedKeys.find(query.orderKey);
        if (listed != listedKeys.end()) {
            PIPE& pipe = pipes[listed->second.pipe];
            return pipe.threads.size() < PIPE_WORKER_LIMIT ? &pipe : nullptr;
        }
    }
    if (!classes.open[query.queryClass])
        return nullptr;
    for (PIPE& pipe : pipes) {
        if (PipeTakes(pipe, query.queryClass))
            return &pipe;
    }
    return nullptr;
}

// Walks the queue from the front and hands every statement that a pipe
// takes to it; a statement no pipe takes stays queued and the ones behind it
// are still tried, so a later one may start first (unless it shares an
// order key). Without handOver it only tells whether a pipe would take one.
// Once no class is open every pipe is full, so the walk ends there.
bool Database::WalkQueue(bool handOver)
{
    if (!heldKeys.empty())
        heldKeys.clear();
    OpenClasses classes = FindOpenClasses(pipes);
    bool handed = false;
    for (auto query = queue.begin(); query != queue.end() && classes.any;) {
        PIPE* pipe = PipeFor(*query, classes);
        if (!pipe) {
            if (query->orderKey != 0)
                heldKeys.insert(query->orderKey);
            ++query;
            continue;
        }
        if (!handOver)
            return true;
        HandOver(*query, *pipe);
        handed = true;
        query = queue.erase(query);
        classes = FindOpenClasses(pipes);
    }
    return handed;
}

void Database::HandOver(QUERY& query, PIPE& pipe)
{
    THREAD_INFO* info = NewThreadInfo(query, pipe);   // takes over the text
    pipe.threads.push_back(info);
    if (query.orderKey != 0) {
        KeyedStatements& keyed = listedKeys[query.orderKey];
        keyed.pipe = static_cast<size_t>(&pipe - pipes.data());
        ++keyed.listed;
    }
    HandToPipeWorker(pipe.worker, info);
}

// A pipe's worker runs its statements in hand-over order, and they are
// collected in that order: one that ran before a lost statement must not be
// collected after it, or it would release the lost statement's key while
// the lost session may still be open.
void Database::Collect(PIPE& pipe)
{
    while (!pipe.threads.empty()) {
        THREAD_INFO* info = pipe.threads.front();
        uint32_t exitCode = info->exitCode.load(std::memory_order_acquire);
        if (exitCode == STILL_ACTIVE)
            return;
        pipe.threads.pop_front();
        ReleaseKey(pipe, *info);
        Finish(info, exitCode);
    }
}

// A collected statement leaves its pipe. The key of one lost in flight stays
// on the pipe, so that the key's later statements follow it there, until
// the pipe has ended the session that may still run it.
void Database::ReleaseKey(PIPE& pipe, const THREAD_INFO& info)
{
    if (info.lostInFlight && info.orderKey != 0)
        pipe.lostKeys.push_back(info.orderKey);
    else
        Unlist(info.orderKey);
    if (info.sessionLeftOpen)
        return;
    for (uint32_t key : pipe.lostKeys)
        Unlist(key);
    pipe.lostKeys.clear();
}

// One statement of the key has left its pipe.
void Database::Unlist(uint32_t orderKey)
{
    if (orderKey == 0)
        return;
    auto keyed = listedKeys.find(orderKey);
    if (--keyed->second.listed == 0)
        listedKeys.erase(keyed);
}

// Reports and files the outcome of an ended statement by the filing table,
// then releases its record.
void Database::Finish(THREAD_INFO* info, uint32_t exitCode)
{
    if (exitCode == QUERY_SUCCEEDED) {
        CountUp(processedCount);
        if (info->result) {
            FileResult(info->queryId, info->result, -1, info->discard);
        } else {
            if (info->affectedRows == 0 && info->reportNoEffect) {
                printf("Query had no effect: %s\n", info->text);
                printf("There is no error associated with this. This message indicates that the query "
                       "affected 0 rows.\n");
            }
            if (info->wantResult)
                FileResult(info->queryId, nullptr, static_cast<int32_t>(info->affectedRows), info->discard);
        }
    } else {
        printf("Query Failed: %s\n", info->text);
        printf("Error: %s\n", info->error ? info->error : "");
        FileResult(info->queryId, nullptr, -1, info->discard);
    }
    info->result = nullptr;   // filed or freed above
    FreeThreadInfo(info);
}

bool Database::HasWorkWaiting()
{
    return WalkQueue(false);
}

bool Database::IsIdle() const
{
    if (!queue.empty())
        return false;
    for (const PIPE& pipe : pipes) {
        if (!pipe.threads.empty())
            return false;
    }
    return true;
}

void Database::Flush()
{
    // Without a connection nothing queued can ever run.
    if (pipes.empty())
        return;
    for (;;) {
        Process();
        if (IsIdle())
            return;
        Sleep(1);
    }
}
