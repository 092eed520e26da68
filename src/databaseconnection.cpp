#include "databaseconnection.h"

#include <poll.h>

#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <random>

#include <errmsg.h>

#include "threads.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned int CONNECT_TIMEOUT = 10;
constexpr unsigned int WRITE_TIMEOUT = 30;

// A database that refuses a connection at once will answer the moment it is
// back, so it is asked again for the next statement. One that leaves an
// attempt unanswered for this long costs that much per attempt: after such
// an attempt none is made for as long, and statements fail without waiting.
constexpr std::chrono::seconds RETRY_PAUSE{1};

// How long a killed session is waited for, and how often it is looked for.
constexpr std::chrono::seconds SESSION_END_WAIT{5};
constexpr DWORD SESSION_END_POLL_MS = 10;

// The client library's own errors: the connection failed, not the statement.
bool IsClientError(unsigned int error)
{
    return (error >= CR_MIN_ERROR && error <= CR_MAX_ERROR) || (error >= CER_MIN_ERROR && error <= CER_MAX_ERROR);
}

// Whether a statement that failed with this error may have run, or may
// still run: its answer was lost after it may have reached the server. A
// server's own error means it failed there and changed nothing; a
// connection that could not be made, or a send that failed, means it never
// got there.
bool StatementMayHaveRun(unsigned int error)
{
    return IsClientError(error) && error != CR_CONNECTION_ERROR && error != CR_CONN_HOST_ERROR &&
           error != CR_SERVER_GONE_ERROR;
}

// A lock name that no other session uses: a random number of this process
// and a count.
std::string NewMarker()
{
    static const uint64_t process = [] {
        std::random_device device;
        return (uint64_t(device()) << 32) | device();
    }();
    static std::atomic<uint64_t> count{0};
    char name[64];
    snprintf(name, sizeof name, "vessik.pipe.%016llx.%llu", static_cast<unsigned long long>(process),
             static_cast<unsigned long long>(++count));
    return name;
}

} // namespace

bool PipeConnection::Open(MYSQL* mysql)
{
    Clock::time_point start = Clock::now();
    mysql_close(mysql);   // frees what the handle holds; the handle is the pipe's
    mysql_init(mysql);
    mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &CONNECT_TIMEOUT);
    mysql_options(mysql, MYSQL_OPT_READ_TIMEOUT, &settings_.readTimeout);
    mysql_options(mysql, MYSQL_OPT_WRITE_TIMEOUT, &WRITE_TIMEOUT);
    marker_.clear();
    if (!mysql_real_connect(mysql, settings_.host.c_str(), settings_.user.c_str(), settings_.password.c_str(),
                            settings_.dbName.c_str(), settings_.port, nullptr, 0)) {
        broken_ = true;
        failure_ = mysql_error(mysql);
        if (Clock::now() - start >= RETRY_PAUSE)
            nextAttempt_ = Clock::now() + RETRY_PAUSE;
        return false;
    }
    broken_ = false;
    // A server without named locks leaves the session unmarked: should its
    // statement be lost, nothing can tell its session from another's.
    std::string marker = NewMarker();
    std::string granted;
    if (Value(mysql, "SELECT GET_LOCK('" + marker + "', 0)", &granted) && granted == "1")
        marker_ = marker;
    return !broken_;
}

// The server closes a session it ends (a restart, KILL, its idle time-out)
// without a word, and between statements it sends nothing: anything to read
// means the connection is gone.
bool PipeConnection::Usable(MYSQL* mysql) const
{
    my_socket socket = mysql_get_socket(mysql);
    if (broken_ || socket == MARIADB_INVALID_SOCKET)
        return false;
    pollfd waiting{socket, POLLIN | POLLPRI, 0};
    return poll(&waiting, 1, 0) == 0;
}

bool PipeConnection::Ready(MYSQL* mysql)
{
    if (!Usable(mysql) && (Clock::now() < nextAttempt_ || !Open(mysql)))
        return false;
    while (!lostMarkers_.empty()) {
        if (!EndSession(mysql, lostMarkers_.back()))
            return false;
        lostMarkers_.pop_back();
    }
    return true;
}

bool PipeConnection::StatementFailed(MYSQL* mysql)
{
    unsigned int error = mysql_errno(mysql);
    broken_ = broken_ || IsClientError(error);
    if (!StatementMayHaveRun(error))
        return false;
    if (!marker_.empty())
        lostMarkers_.push_back(marker_);
    marker_.clear();
    return true;
}

// Ends the session that holds marker, if one does, and waits until it has
// gone: the lock is released at the session's very end, after its statement
// has stopped and been rolled back and after it has left the process list.
// The wait is bounded: a session that will not end in time is left to end
// on its own rather than hold up the pipe. False while the connection fails.
bool PipeConnection::EndSession(MYSQL* mysql, const std::string& marker)
{
    uint64_t holder = 0;
    if (!Holder(mysql, marker, &holder))
        return !broken_;
    if (holder == 0)
        return true;
    if (!Run(mysql, "KILL CONNECTION " + std::to_string(holder)) && broken_)
        return false;
    for (Clock::time_point deadline = Clock::now() + SESSION_END_WAIT; Clock::now() < deadline;) {
        if (!Holder(mysql, marker, &holder))
            return !broken_;
        if (holder == 0)
            return true;
        Sleep(SESSION_END_POLL_MS);
    }
    return true;
}

// The session id that holds the lock; 0 when no session does.
bool PipeConnection::Holder(MYSQL* mysql, const std::string& marker, uint64_t* holder)
{
    std::string id;
    if (!Value(mysql, "SELECT IS_USED_LOCK('" + marker + "')", &id))
        return false;
    const char* end = id.data() + id.size();
    auto parsed = std::from_chars(id.data(), end, *holder);
    if (parsed.ec != std::errc() || parsed.ptr != end)
        *holder = 0;
    return true;
}

// The first value of the first row ("" for NULL or no row).
bool PipeConnection::Value(MYSQL* mysql, const std::string& sql, std::string* value)
{
    if (!Run(mysql, sql))
        return false;
    MYSQL_RES* result = mysql_store_result(mysql);
    if (!result)
        return Failed(mysql);
    MYSQL_ROW row = mysql_fetch_row(result);
    *value = row && row[0] ? row[0] : "";
    mysql_free_result(result);
    return true;
}

bool PipeConnection::Run(MYSQL* mysql, const std::string& sql)
{
    return mysql_real_query(mysql, sql.data(), sql.size()) == 0 || Failed(mysql);
}

bool PipeConnection::Failed(MYSQL* mysql)
{
    failure_ = mysql_error(mysql);
    broken_ = broken_ || IsClientError(mysql_errno(mysql));
    return false;
}
