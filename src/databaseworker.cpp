#include "databaseworker.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "databaserecovery.h"
#include "loopwait.h"
#include "threads.h"

struct PipeWorker {
    std::mutex lock;                    // guards pending and stopping
    std::condition_variable wake;       // signalled on a new record or stop
    std::deque<THREAD_INFO*> pending;   // handed over, not yet taken, oldest first
    bool stopping = false;
    HANDLE thread = nullptr;
    ConnectionRecovery recovery;        // the worker's own
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
        uint32_t exitCode = QueryThreadProc(info, worker->recovery);
        info->exitCode.store(exitCode, std::memory_order_release);
        // After the store: the main loop, woken, must find the outcome.
        nlSignalWake();
    }
    mysql_thread_end();
    return 0;
}

bool RunStatement(THREAD_INFO* info)
{
    return mysql_real_query(info->mysql, info->text, info->length) == 0;
}

// The second try runs only when the first cannot have changed anything. A
// connection that was dropped while idle is made anew by the client library
// before the first try.
bool RunWithSecondTry(THREAD_INFO* info)
{
    return RunStatement(info) || (!StatementMayHaveRun(mysql_errno(info->mysql)) && RunStatement(info));
}

char* CopyText(const char* text)
{
    size_t size = strlen(text) + 1;
    char* copy = new char[size];
    memcpy(copy, text, size);
    return copy;
}

// Runs the statement and keeps its outcome in the record.
bool RunAndKeepOutcome(THREAD_INFO* info)
{
    bool ok = RunWithSecondTry(info);
    info->affectedRows = static_cast<uint32_t>(mysql_affected_rows(info->mysql));
    if (ok) {
        // Always store: an unread result set would put the connection out of step.
        info->result = mysql_store_result(info->mysql);
        // A statement with columns whose rows could not be read has failed.
        if (!info->result && mysql_field_count(info->mysql) != 0)
            ok = false;
    }
    if (!ok)
        info->error = CopyText(mysql_error(info->mysql));
    return ok;
}

} // namespace

PipeWorker* StartPipeWorker()
{
    PipeWorker* worker = new PipeWorker;
    // A statement needs little stack: the client library keeps its buffers on the heap.
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

uint32_t QueryThreadProc(THREAD_INFO* info, ConnectionRecovery& recovery)
{
    nlMutexLock(info->mutex);
    bool sent = recovery.Recover(info->mysql);
    bool ok = sent && RunAndKeepOutcome(info);
    if (!sent) {
        info->error = CopyText(recovery.Failure().c_str());
    } else if (!ok && StatementMayHaveRun(mysql_errno(info->mysql))) {
        info->lostInFlight = 1;
        recovery.StatementLost(info->mysql);
        recovery.Recover(info->mysql);   // now, so that the pipe is ready for what follows
    }
    info->sessionLeftOpen = recovery.SessionsLeftOpen();
    nlMutexUnlock(info->mutex);
    return ok ? QUERY_SUCCEEDED : QUERY_FAILED;
}
