#pragma once

// The connection of one pipe: opening it, opening it anew when it broke,
// and ending a session that may still run a statement whose answer was
// lost. Used by the Database for the first connection and afterwards only
// by the pipe's worker thread, under the pipe's mutex.
//
// A statement whose answer was lost (the connection broke, or the read
// timed out, while it was on its way or running) may still be held by the
// lost session and run later, after statements sent since on a new
// connection, overwriting what they wrote. So before the pipe sends
// anything else it ends that session and waits until it has gone. The
// session is known by a named lock that it took when it was opened (a name
// no other session, of this server or another, ever uses): whichever
// session holds that lock is the lost one, on whatever server instance the
// pipe now reaches. A server that restarted since holds no such lock, so
// nothing is ended; no other connection is ever ended.
//
// The client library never reconnects by itself here: every session of a
// pipe is opened by this class, so every one holds its lock, and a failed
// attempt is never taken for a statement that was sent.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <mysql.h>

struct ConnectionSettings {
    std::string host;
    std::string user;
    std::string password;
    std::string dbName;
    unsigned int port = 0;
    unsigned int readTimeout = 0;   // seconds a statement's answer is awaited
};

class PipeConnection {
public:
    explicit PipeConnection(ConnectionSettings settings) : settings_(std::move(settings)) {}

    // Opens a new session on mysql, an initialised handle, closing whatever
    // the handle held. False with the reason in Failure().
    bool Open(MYSQL* mysql);

    // Before a statement is sent: an open connection, opened anew when it
    // broke, and no lost session left on the server. False, with the reason
    // in Failure(), while either is not so: nothing may then be sent. After
    // an attempt that the database did not answer for a second or more,
    // none is made for a second; until then this fails at once.
    bool Ready(MYSQL* mysql);

    // A statement sent on mysql failed. True when it may have run, or may
    // still run: its session must end before the pipe sends anything else.
    bool StatementFailed(MYSQL* mysql);

    bool SessionsLeftOpen() const { return !lostMarkers_.empty(); }
    const std::string& Failure() const { return failure_; }

private:
    bool Usable(MYSQL* mysql) const;
    bool EndSession(MYSQL* mysql, const std::string& marker);
    bool Holder(MYSQL* mysql, const std::string& marker, uint64_t* holder);
    bool Value(MYSQL* mysql, const std::string& sql, std::string* value);
    bool Run(MYSQL* mysql, const std::string& sql);
    bool Failed(MYSQL* mysql);

    ConnectionSettings settings_;
    std::string marker_;                     // the lock the open session holds; "" when it took none
    std::vector<std::string> lostMarkers_;   // the locks of sessions that may still run a statement
    bool broken_ = false;                    // the library has given the connection up
    std::chrono::steady_clock::time_point nextAttempt_;
    std::string failure_;
};
