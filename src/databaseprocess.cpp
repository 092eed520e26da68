// The pump: handing queued statements to pipes and collecting their outcomes.

#include "database.h"

#include <cstdio>

#include "databaseworker.h"
#include "threads.h"

namespace {

constexpr uint32_t COUNTER_LIMIT = 4000000000u;

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
    return info;
}

// Which query classes some pipe would still take.
struct OpenClasses {
    bool open[5] = {};
    bool any = false;
};

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
    Dispatch();
    for (PIPE& pipe : pipes)
        Collect(pipe);
}

// The first pipe, in index order, that takes a statement of this class.
PIPE* Database::PipeFor(uint8_t queryClass)
{
    for (PIPE& pipe : pipes) {
        if (PipeTakes(pipe, queryClass))
            return &pipe;
    }
    return nullptr;
}

// Walks the queue from the front. A statement no pipe takes stays queued and
// the ones behind it are still tried, so a later one may start first.
void Database::Dispatch()
{
    OpenClasses classes = FindOpenClasses(pipes);
    for (auto query = queue.begin(); query != queue.end() && classes.any;) {
        if (!classes.open[query->queryClass]) {
            ++query;
            continue;
        }
        PIPE* pipe = PipeFor(query->queryClass);
        if (!pipe->worker)
            pipe->worker = StartPipeWorker();
        if (!pipe->worker) {
            // The statement stays queued and is tried again in the next pass.
            printf("Query Thread Creation Failed! Query: %s\n", query->text);
            return;
        }
        THREAD_INFO* info = NewThreadInfo(*query, *pipe);   // takes over the text
        pipe->threads.push_back(info);
        HandToPipeWorker(pipe->worker, info);
        query = queue.erase(query);
        classes = FindOpenClasses(pipes);
    }
}

void Database::Collect(PIPE& pipe)
{
    for (auto entry = pipe.threads.begin(); entry != pipe.threads.end();) {
        THREAD_INFO* info = *entry;
        uint32_t exitCode = info->exitCode.load(std::memory_order_acquire);
        if (exitCode == QUERY_STILL_ACTIVE) {
            ++entry;
            continue;
        }
        entry = pipe.threads.erase(entry);
        Finish(info, exitCode);
    }
}

// Reports and files the outcome of an ended statement by the filing table,
// then releases its record.
void Database::Finish(THREAD_INFO* info, uint32_t exitCode)
{
    if (exitCode == QUERY_SUCCEEDED) {
        if (++processedCount > COUNTER_LIMIT)
            processedCount = 0;
        if (info->result) {
            File(info->queryId, info->result, -1, info->discard);
        } else {
            if (info->affectedRows == 0 && info->reportNoEffect) {
                printf("Query had no effect: %s\n", info->text);
                printf("There is no error associated with this. This message indicates that the query "
                       "affected 0 rows.\n");
            }
            if (info->wantResult)
                File(info->queryId, nullptr, static_cast<int32_t>(info->affectedRows), info->discard);
        }
    } else {
        printf("Query Failed: %s\n", info->text);
        printf("Error: %s\n", info->error ? info->error : "");
        File(info->queryId, nullptr, -1, info->discard);
    }
    info->result = nullptr;   // filed or freed above
    FreeThreadInfo(info);
}

bool Database::HasWorkWaiting() const
{
    OpenClasses classes = FindOpenClasses(pipes);
    if (!classes.any)
        return false;
    for (const QUERY& query : queue) {
        if (classes.open[query.queryClass])
            return true;
    }
    return false;
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
