#include "databaserecovery.h"

#include <string>

#include <errmsg.h>
#include <mysqld_error.h>

namespace {

// A database that did not answer a connection attempt is not asked again
// at once for each statement that follows: they fail without waiting.
constexpr std::chrono::seconds RETRY_PAUSE{5};

// The client library's own errors: the connection failed, not the statement.
bool IsClientError(unsigned int error)
{
    return (error >= CR_MIN_ERROR && error <= CR_MAX_ERROR) || (error >= CER_MIN_ERROR && error <= CER_MAX_ERROR);
}

} // namespace

bool StatementMayHaveRun(unsigned int error)
{
    return IsClientError(error) && error != CR_CONNECTION_ERROR && error != CR_CONN_HOST_ERROR &&
           error != CR_SERVER_GONE_ERROR;
}

void ConnectionRecovery::StatementLost(MYSQL* mysql)
{
    lostSessions_.push_back(mysql_thread_id(mysql));
    freshConnection_ = false;
}

bool ConnectionRecovery::Recover(MYSQL* mysql)
{
    while (!lostSessions_.empty()) {
        if (!freshConnection_) {
            if (std::chrono::steady_clock::now() < nextAttempt_)
                return false;
            // Always a new connection: the library may still hold the lost one.
            if (mariadb_reconnect(mysql) != 0)
                return Failed(mysql, true);
            freshConnection_ = true;
        }
        std::string kill = "KILL CONNECTION " + std::to_string(lostSessions_.back());
        if (mysql_real_query(mysql, kill.c_str(), kill.size()) != 0 && mysql_errno(mysql) != ER_NO_SUCH_THREAD)
            return Failed(mysql, IsClientError(mysql_errno(mysql)));
        lostSessions_.pop_back();
    }
    return true;
}

bool ConnectionRecovery::Failed(MYSQL* mysql, bool connectionGone)
{
    failure_ = mysql_error(mysql);
    if (connectionGone) {
        freshConnection_ = false;
        nextAttempt_ = std::chrono::steady_clock::now() + RETRY_PAUSE;
    }
    return false;
}
