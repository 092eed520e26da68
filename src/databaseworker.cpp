#include "databaseworker.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "loopwait.h"
#include "threads.h"

struct PipeWorker {
    std::mutex lock;                    // guards pending and stopping
    std::condition_variable wake;       // signalled on a new record or stop
    std::deque<THREAD_INFO*> pending;   // handed over, not yet taken, oldest first
    bool stopping = false;
    HANDLE thread = nullptr;
    PipeConnection connection;          // the worker's own

    explicit PipeWorker(const ConnectionSettings& settings) : connection(settings) {}
};

namespace {

// The client library keeps per-thread state; each worker sets it up once.
DWORD PipeWorkerProc(void* parameter)
{
    PipeWorker* worker = static_cast<PipeWorker*>(parameter);
    mysql_thread_init();
    for (;;) {
        THREAD_INFO* info;
        {
            std::unique_lock<std::mutex> hold(worker->lock);
            worker->wake.wait(hold, [worker] { return worker->stopping || !worker->pending.empty(); });
            if (worker->pending.empty())
                break;
            info = worker->pending.front();
            worker->pending.pop_front();
        }
        uint32_t exitCode = QueryThreadProc(info, worker->connection);
        info->exitCode.store(exitCode, std::memory_order_release);
        // After the store: the main loop, woken, must find the outcome.
        nlSignalWake();
    }
    mysql_thread_end();
    return 0;
}

// One statement, tried at most twice: the second try only when the first
// cannot have changed anything. Nothing is sent while the connection is not
// ready. The error text of the last failure goes to *error.
bool RunWithSecondTry(THREAD_INFO* info, PipeConnection& connection, std::string* error)
{
    for (int tries = 0; tries < 2; ++tries) {
        if (!connection.Ready(info->mysql)) {
            *error = connection.Failure();
            continue;
        }
        if (mysql_real_query(info->mysql, info->text, info->length) == 0)
            return true;
        *error = mysql_error(info->mysql);
        if (connection.StatementFailed(info->mysql)) {
            info->lostInFlight = 1;
            connection.Ready(info->mysql);   // now, so that the pipe is ready for what follows
            return false;
        }
    }
    return false;
}

char* CopyText(const std::string& text)
{
    char* copy = new char[text.size() + 1];
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// Runs the statement and keeps its outcome in the record.
bool RunAndKeepOutcome(THREAD_INFO* info, PipeConnection& connection)
{
    std::string error;
    bool ok = RunWithSecondTry(info, connection, &error);
    info->affectedRows = static_cast<uint32_t>(mysql_affected_rows(info->mysql));
    if (ok) {
        // Always store: an unread result set would put the connection out of step.
        info->result = mysql_store_result(info->mysql);
        // A statement with columns whose rows could not be read has failed.
        if (!info->result && mysql_field_count(info->mysql) != 0) {
            ok = false;
            error = mysql_error(info->mysql);
            info->lostInFlight = connection.StatementFailed(info->mysql);
        }
    }
    if (!ok)
        info->error = CopyText(error);
    return ok;
}

} // namespace

PipeWorker* StartPipeWorker(const ConnectionSettings& settings, MYSQL* mysql)
{
    PipeWorker* worker = new PipeWorker(settings);
    // A statement needs little stack: the client library keeps its buffers on the heap.
    if (worker->connection.Open(mysql))
        worker->thread = CreateThread(512 * 1024, PipeWorkerProc, worker);
    if (!worker->thread) {
        delete worker;
        return nullptr;
    }
    return worker;
}

void HandToPipeWorker(PipeWorker* worker, THREAD_INFO* info)
{
    {
        std::lock_guard<std::mutex> hold(worker->lock);
        worker->pending.push_back(info);
    }
    worker->wake.notify_one();
}

void StopPipeWorker(PipeWorker* worker)
{
    if (!worker)
        return;
    {
        std::lock_guard<std::mutex> hold(worker->lock);
        worker->stopping = true;
    }
    worker->wake.notify_one();
    CloseHandle(worker->thread);
    delete worker;
}

void FreeThreadInfo(THREAD_INFO* info)
{
    delete[] info->error;
    delete[] info->text;
    if (info->result)
        mysql_free_result(info->result);
    delete info;
}

uint32_t QueryThreadProc(THREAD_INFO* info, PipeConnection& connection)
{
    nlMutexLock(info->mutex);
    bool ok = RunAndKeepOutcome(info, connection);
    info->sessionLeftOpen = connection.SessionsLeftOpen();
    nlMutexUnlock(info->mutex);
    return ok ? QUERY_SUCCEEDED : QUERY_FAILED;
}
