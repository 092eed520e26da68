// Load benchmark of the login server: simulated game clients log in over
// loopback against the real server binary and a private MariaDB, and the
// result is set against a ceiling, the same statements issued straight to
// the database. Also an idle mode (many silent connections, the server's
// CPU measured) and a handshake-only mode (the network path alone).
// See bench/README.md.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "loadgen/ceiling.h"
#include "loadgen/clients.h"
#include "loadgen/descriptors.h"
#include "loadgen/idle.h"
#include "loadgen/outage.h"
#include "loadgen/protocol.h"
#include "loadgen/seed.h"
#include "loadgen/sql.h"
#include "procstat.h"
#include "serverprocess.h"

using namespace loadgen;

namespace {

struct Options {
    std::string mode = "login";        // login, handshake, idle, all
    size_t clients = 64;
    double seconds = 10;
    size_t idle = 10000;
    double idleSeconds = 10;
    size_t threads = 4;                 // generator threads of the simulated clients
    std::string pipes;                  // MaxPipes; empty: the installation's
    std::string throttle;               // ThrottleCPU; empty: the installation's
    std::string dbEnv;                  // a running MariaDB's env file; empty: start one
    std::string server = LS_SERVER_BIN;
    std::string source = LS_SOURCE_DIR;
    bool ceiling = true;
    bool idleDuringLoad = false;        // hold the idle connections while the clients log in
    double restartDb = 0;               // seconds into the login measurement to crash the database; 0: never
    bool plainUser = false;             // the server logs in with SELECT, INSERT, UPDATE, DELETE only
};

void Usage()
{
    fprintf(stderr,
            "usage: login_load [--mode login|handshake|idle|all] [--clients N] [--seconds S]\n"
            "                  [--idle K] [--idle-seconds S] [--threads T] [--pipes P]\n"
            "                  [--throttle true|false] [--db-env FILE] [--no-ceiling] [--idle-during-load]\n"
            "                  [--restart-db S] [--plain-user] [--server PATH] [--source DIR]\n");
}

bool ParseOptions(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--no-ceiling") {
            o->ceiling = false;
            continue;
        }
        if (arg == "--idle-during-load") {
            o->idleDuringLoad = true;
            continue;
        }
        if (arg == "--plain-user") {
            o->plainUser = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        std::string value = argv[++i];
        if (arg == "--mode")
            o->mode = value;
        else if (arg == "--clients")
            o->clients = strtoul(value.c_str(), nullptr, 10);
        else if (arg == "--seconds")
            o->seconds = atof(value.c_str());
        else if (arg == "--idle")
            o->idle = strtoul(value.c_str(), nullptr, 10);
        else if (arg == "--idle-seconds")
            o->idleSeconds = atof(value.c_str());
        else if (arg == "--threads")
            o->threads = strtoul(value.c_str(), nullptr, 10);
        else if (arg == "--pipes")
            o->pipes = value;
        else if (arg == "--throttle")
            o->throttle = value;
        else if (arg == "--db-env")
            o->dbEnv = value;
        else if (arg == "--server")
            o->server = value;
        else if (arg == "--source")
            o->source = value;
        else if (arg == "--restart-db")
            o->restartDb = atof(value.c_str());
        else
            return false;
    }
    bool knownMode = o->mode == "login" || o->mode == "handshake" || o->mode == "idle" || o->mode == "all";
    return knownMode && o->clients > 0 && o->seconds > 0 && o->idleSeconds > 0 && o->restartDb >= 0;
}

bool MeasuresLogins(const Options& o)
{
    return o.mode == "login" || o.mode == "all";
}

// What the options ask for and the run cannot do; empty when all is well.
std::string Conflict(const Options& o)
{
    if (o.restartDb == 0)
        return "";
    if (!o.dbEnv.empty())
        return "--restart-db kills the database: only with the benchmark's own MariaDB, not --db-env";
    if (!MeasuresLogins(o))
        return "--restart-db applies to the login measurement (--mode login or all)";
    if (o.restartDb < 1 || o.restartDb >= o.seconds)
        return "--restart-db S: at least 1 (the seconds before the kill give the reference rate) and below --seconds";
    return "";
}

// The digest rule against a known value: "abc" sent as 6 bytes.
bool DigestRuleHolds()
{
    static const char kAbc[] = "3951785eeea48f5e310fbe08fa606a55c254f19bdd5bdd53b8df8abfcfaf308a";
    return SqlHex(PasswordDigest(u"abc")) == std::string("0x") + kAbc;
}

size_t FileSize(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (size_t)info.st_size : 0;
}

void PrintRate(const char* what, uint64_t count, double seconds, Latencies& latencies)
{
    printf("%-34s %9.1f /s  p50 %6.2f ms  p99 %6.2f ms  (%llu in %.1f s)\n", what, count / seconds,
           latencies.PercentileMs(50), latencies.PercentileMs(99), (unsigned long long)count, seconds);
}

// "S s after answering again", or the text when there is no such moment.
std::string AfterAnswering(const std::optional<double>& seconds, const char* none)
{
    char text[64];
    if (seconds)
        snprintf(text, sizeof text, "%9.2f s after answering again", *seconds);
    else
        snprintf(text, sizeof text, "%9s", none);
    return text;
}

// The refusal codes seen, each once: " 56 57", or " none".
std::string CodesOf(const std::vector<Refusal>& refusals)
{
    std::set<uint32_t> codes;
    for (const Refusal& refusal : refusals)
        codes.insert(refusal.code);
    std::string list;
    for (uint32_t code : codes)
        list += " " + std::to_string(code);
    return codes.empty() ? " none" : list;
}

void PrintOutage(const LoadResult& r, const Outage& outage)
{
    printf("%-34s %9.2f s into the run\n", "database killed", SecondsBetween(r.start, outage.killed));
    if (outage.answered)
        printf("%-34s %9.2f s after the kill\n", "database answering again",
               SecondsBetween(outage.killed, outage.answering));
    else
        printf("FAILURES: the database did not answer again after the kill\n");
    OutageFigures f = FiguresOf(r, outage);
    printf("%-34s %9zu before the kill, %zu during the outage, %zu after it (codes:%s)\n", "logins refused",
           f.refusedBefore, f.refusedDuring, f.refusedAfter, CodesOf(r.refusals).c_str());
    printf("%-34s %s\n", "last refused login", AfterAnswering(f.lastRefusalAfter, "none").c_str());
    printf("%-34s %s (%.1f /s before the kill; 100 ms buckets)\n", "login rate back to 90%",
           AfterAnswering(f.rateBackAfter, "not within the run").c_str(), f.rateBefore);
    printf("%-34s %9.1f /s (median of the whole seconds from 1 s after answering)\n", "login rate after", f.rateAfter);
}

// Runs the simulated clients and reports; the rate per second, or 0. With
// crashDb, that database is killed and restarted during the run.
double MeasureLoad(Mode mode, const Options& o, ServerProcess& server, const Requests& requests,
                   const std::vector<Account>& accounts, PrivateMariaDb* crashDb = nullptr)
{
    LoadSettings settings;
    settings.mode = mode;
    settings.port = server.LoginPort();
    settings.seconds = o.seconds;
    settings.threads = o.threads;
    settings.defaultInterfaceSize = FileSize(server.Dir() + "/Data/Packets/DefaultInterface");
    settings.loginAfterRefusal = crashDb != nullptr;
    std::future<Outage> outage;
    if (crashDb)
        settings.onStart = [&](Clock::time_point start) {
            outage = std::async(std::launch::async, CrashAndRestart, std::ref(*crashDb), start + Seconds(o.restartDb));
        };
    double cpuBefore = CpuSeconds(server.Pid());
    LoadResult r = RunLoad(settings, requests, accounts);
    double cpu = CpuSeconds(server.Pid()) - cpuBefore;
    const char* what = mode == Mode::Login ? "server: logins" : "server: handshakes";
    PrintRate(what, r.completed, r.seconds, r.latencies);
    printf("%-34s %9.1f us per %s (%.2f s in %.1f s: %.0f%% of one core)\n", "server CPU", 
           r.completed ? cpu * 1e6 / (double)r.completed : 0.0, mode == Mode::Login ? "login" : "handshake",
           cpu, r.seconds, 100.0 * cpu / r.seconds);
    if (outage.valid())
        PrintOutage(r, outage.get());
    if (r.failures)
        printf("FAILURES: %llu (first: %s)\n", (unsigned long long)r.failures, r.firstFailure.c_str());
    return r.failures ? 0.0 : r.completed / r.seconds;
}

void MeasureIdle(const Options& o, ServerProcess& server)
{
    auto cpuOver = [&](double seconds) {
        double before = CpuSeconds(server.Pid());
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return CpuSeconds(server.Pid()) - before;
    };
    double empty = cpuOver(o.idleSeconds);
    printf("%-34s %6.2f%% of one core\n", "server, no connections", 100.0 * empty / o.idleSeconds);

    AcceptCounter accepted(server.ConsolePath());
    auto start = Clock::now();
    std::vector<int> fds = OpenIdleConnections(server.LoginPort(), o.idle, accepted);
    printf("%-34s %zu in %.1f s\n", "idle connections accepted", fds.size(), SecondsSince(start));
    double held = cpuOver(o.idleSeconds);
    printf("%-34s %6.2f%% of one core (%zu idle connections)\n", "server, idle connections held",
           100.0 * held / o.idleSeconds, fds.size());
    size_t closed = CountClosed(fds);
    if (closed)
        printf("FAILURES: the server closed %zu idle connections\n", closed);
    for (int fd : fds)
        close(fd);
}

int Run(const Options& o, BenchDb& bench)
{
    const DatabaseSettings& db = bench.settings;
    std::vector<Account> accounts = MakeAccounts((uint32_t)o.clients);
    MYSQL* seeder = ConnectDb(db);
    bool seeded = seeder && SeedAccounts(seeder, accounts);
    if (seeder)
        mysql_close(seeder);
    if (!seeded)
        return 1;

    DatabaseSettings serverDb = db;
    if (o.plainUser && !CreatePlainUser(&bench, &serverDb)) {
        fprintf(stderr, "--plain-user: the user was not made (root@127.0.0.1 must have no password)\n");
        return 1;
    }

    bool login = MeasuresLogins(o);
    double ceiling = 0;
    if (login && o.ceiling) {
        CeilingResult c = RunCeiling(db, accounts, o.seconds);
        ceiling = c.failures ? 0.0 : c.logins / c.seconds;
        PrintRate("ceiling: a login's SQL, direct", c.logins, c.seconds, c.latencies);
        if (c.failures)
            printf("FAILURES: %llu statement runs of the ceiling failed\n", (unsigned long long)c.failures);
    }

    ServerProcess server(o.source, o.server);
    server.UseDatabase(serverDb);
    server.SetConfig("MaxPlayers", std::to_string(o.clients + o.idle + 100));
    if (!o.pipes.empty())
        server.SetConfig("MaxPipes", o.pipes);
    if (!o.throttle.empty())
        server.SetConfig("ThrottleCPU", o.throttle);
    printf("server: MaxPipes %s, ThrottleCPU %s\n", server.ConfigValue("MaxPipes").c_str(),
           server.ConfigValue("ThrottleCPU").c_str());
    if (o.plainUser)
        printf("server: database user %s (SELECT, INSERT, UPDATE, DELETE on %s)\n", serverDb.user.c_str(),
               db.name.c_str());
    if (!server.Start()) {
        fprintf(stderr, "the server did not start: %s\n", server.Failure().c_str());
        return 1;
    }
    OpcodeTable opcodes(server.Dir());
    if (!opcodes.Has("STREAM_TERMINATOR")) {
        fprintf(stderr, "no message numbers in the installation\n");
        return 1;
    }
    Requests requests(opcodes);

    std::vector<int> idle;
    if (o.idleDuringLoad && o.mode != "idle") {
        AcceptCounter accepted(server.ConsolePath());
        idle = OpenIdleConnections(server.LoginPort(), o.idle, accepted);
        printf("%-34s %zu\n", "idle connections held meanwhile", idle.size());
    }
    if (o.mode == "handshake" || o.mode == "all")
        MeasureLoad(Mode::Handshake, o, server, requests, accounts);
    if (login) {
        PrivateMariaDb* crashDb = o.restartDb > 0 ? bench.own.get() : nullptr;
        double rate = MeasureLoad(Mode::Login, o, server, requests, accounts, crashDb);
        if (ceiling > 0)
            printf("%-34s %9.2f\n", "server / ceiling", rate / ceiling);
    }
    for (int fd : idle)
        close(fd);
    if (o.mode == "idle" || o.mode == "all")
        MeasureIdle(o, server);
    server.Stop();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        Usage();
        return 2;
    }
    std::string conflict = Conflict(o);
    if (!conflict.empty()) {
        fprintf(stderr, "%s\n", conflict.c_str());
        return 2;
    }
    if (!DigestRuleHolds()) {
        fprintf(stderr, "the password digest rule gives a wrong value\n");
        return 1;
    }
    rlim_t limit = RaiseDescriptorLimit();
    if ((o.mode == "idle" || o.mode == "all") && limit < o.idle + 100)
        fprintf(stderr, "descriptor limit %llu is below %zu idle connections\n", (unsigned long long)limit,
                o.idle);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    BenchDb db;
    bool ready = o.dbEnv.empty() ? StartPrivateDb(o.source, &db) : AttachDb(o.dbEnv, o.source, &db);
    int status = ready ? Run(o, db) : 1;
    ReleaseDb(&db);
    return status;
}
