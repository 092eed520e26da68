#pragma once

// What a pipe does after the answer to a statement was lost (the connection
// broke, or the read timed out, while the statement was on its way or
// running). The database server may still hold that statement in the lost
// connection's session and run it later, after statements sent since on a
// new connection, overwriting what they wrote. So before the pipe runs
// anything else it makes a new connection and ends the old session: a
// statement lost in flight has then either run already or never runs.
// Used only by the pipe's worker thread, under the pipe's mutex.

#include <chrono>
#include <string>
#include <vector>

#include <mysql.h>

// Whether a statement that failed with this error may have run, or may
// still run: its answer was lost after it may have reached the server. A
// server's own error means it failed there and changed nothing; a
// connection that could not be made, or a send that failed, means it never
// got there.
bool StatementMayHaveRun(unsigned int error);

class ConnectionRecovery {
public:
    // The statement just sent on mysql may have run: its session must end
    // before the pipe runs anything else.
    void StatementLost(MYSQL* mysql);

    // Ends every session left open, on a new connection. False, with the
    // reason in Failure(), while one may still run a statement: nothing
    // may then be sent. After a connection attempt failed, none is tried
    // for a few seconds; until then this fails at once.
    bool Recover(MYSQL* mysql);

    bool SessionsLeftOpen() const { return !lostSessions_.empty(); }
    const std::string& Failure() const { return failure_; }

private:
    bool Failed(MYSQL* mysql, bool connectionGone);

    std::vector<unsigned long> lostSessions_;   // server session ids, as mysql_thread_id gives them
    bool freshConnection_ = true;               // the connection in hand is not a lost one
    std::chrono::steady_clock::time_point nextAttempt_;
    std::string failure_;
};
