// Statements per second through the database layer, against the same
// statements run directly on the same number of connections (one thread
// each, back to back), so the layer's cost shows as a ratio.
//
//   build/release/bench/database_bench [statements-per-run]
//
// With LS_DB_HOST, LS_DB_PORT, LS_DB_USER and LS_DB_PASS in the environment
// it uses that server (the account must be allowed to create a database);
// otherwise it starts a private one with scripts/mariadb.sh and stops it at
// the end. It works in a database of its own and drops it afterwards.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "database.h"
#include "filetext.h"
#include "privatedb.h"
#include "sqlserver.h"

namespace {

struct Server {
    DatabaseSettings settings;             // settings.name: the benchmark's own database
    std::unique_ptr<PrivateMariaDb> own;   // set when we started the server ourselves
};

const std::string SOURCE_DIR = [] {
    std::string file = __FILE__;
    return file.substr(0, file.rfind("/bench/"));
}();

bool FindServer(Server& server)
{
    if (const char* host = getenv("LS_DB_HOST")) {
        server.settings.host = host;
        server.settings.port = static_cast<uint16_t>(atoi(getenv("LS_DB_PORT") ? getenv("LS_DB_PORT") : "3306"));
        server.settings.user = getenv("LS_DB_USER") ? getenv("LS_DB_USER") : "";
        server.settings.password = getenv("LS_DB_PASS") ? getenv("LS_DB_PASS") : "";
        return true;
    }
    server.own = std::make_unique<PrivateMariaDb>(SOURCE_DIR);
    server.settings = server.own->Settings();
    return server.own->Ready();
}

MYSQL* Open(const Server& server)
{
    std::string error;
    MYSQL* connection = SqlConnect(server.settings, server.settings.name, false, &error);
    if (!connection)
        fprintf(stderr, "cannot connect: %s\n", error.c_str());
    return connection;
}

// A fresh database with the schema and some accounts to look up.
bool CreateBenchDatabase(Server& server)
{
    server.settings.name = "lsbench_" + std::to_string(getpid());
    std::string setup = ReadFileText(SOURCE_DIR + "/db/schema.sql") +
                        "\nINSERT INTO accounts(Email) SELECT seq FROM seq_1_to_1000;";
    std::string error;
    bool ok = CreateDatabase(server.settings, server.settings.name, setup, &error);
    if (!ok)
        fprintf(stderr, "setting up %s: %s\n", server.settings.name.c_str(), error.c_str());
    return ok;
}

// The i-th statement of a workload.
std::string Statement(const std::string& workload, int i)
{
    char text[600];
    if (workload == "select") {
        snprintf(text, sizeof text, "SELECT Password, AccessLevel, AccountID FROM accounts WHERE AccountID=%d LIMIT 1",
                 1 + i % 1000);
    } else {
        snprintf(text, sizeof text,
                 "INSERT INTO items (ID, Size, Data, ItemLocType, OwnerCID, OwnerAID) VALUES(0x%024x, 200, 0x%0400d, "
                 "%d, %u, %u)",
                 i, 0, 3, 10u, 0u);
    }
    return text;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double DirectRate(const Server& server, const std::vector<std::string>& statements, int connections)
{
    std::vector<MYSQL*> handles;
    for (int i = 0; i < connections; ++i)
        handles.push_back(Open(server));
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&, c] {
            for (size_t i = c; i < statements.size(); i += connections) {
                const std::string& text = statements[i];
                if (mysql_real_query(handles[c], text.c_str(), text.size() + 1) == 0) {
                    if (MYSQL_RES* result = mysql_store_result(handles[c]))
                        mysql_free_result(result);
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    double rate = statements.size() / Seconds(start);
    for (MYSQL* handle : handles)
        mysql_close(handle);
    return rate;
}

// The server's way: queue everything, pump, collect and free each result.
double LayerRate(const Server& server, const std::vector<std::string>& statements, int connections)
{
    auto layer = std::make_unique<Database>();
    Database& db = *layer;
    db.Init();
    fflush(stdout);
    int savedStdout = dup(1);   // the layer's connection lines are not the benchmark's output
    freopen("/dev/null", "w", stdout);
    const DatabaseSettings& settings = server.settings;
    bool connected = db.Connect(settings.host.c_str(), settings.user.c_str(), settings.password.c_str(),
                                settings.name.c_str(), settings.port, connections);
    auto start = std::chrono::steady_clock::now();
    std::vector<uint32_t> ids;
    for (const std::string& text : statements)
        ids.push_back(db.QueryWithResult(text.c_str(), static_cast<int>(text.size()), true));
    size_t collected = 0;
    while (connected && collected < ids.size()) {
        db.Process();
        while (collected < ids.size() && db.FindResult(ids[collected])) {
            db.FreeResult(ids[collected]);
            ++collected;
        }
    }
    double rate = statements.size() / Seconds(start);
    layer.reset();
    fflush(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);
    return connected ? rate : 0;
}

void Measure(const Server& server, int count)
{
    printf("%-8s %5s %14s %14s %7s\n", "workload", "conns", "direct st/s", "layer st/s", "ratio");
    for (const char* workload : {"select", "insert"}) {
        for (int connections : {1, 2, 4, 8}) {
            std::vector<std::string> direct, layered;
            for (int i = 0; i < count; ++i) {
                direct.push_back(Statement(workload, i));
                layered.push_back(Statement(workload, i + count));   // fresh item ids
            }
            double directRate = DirectRate(server, direct, connections);
            double layerRate = LayerRate(server, layered, connections);
            printf("%-8s %5d %14.0f %14.0f %7.2f\n", workload, connections, directRate, layerRate,
                   layerRate / directRate);
            fflush(stdout);
            if (std::string(workload) == "insert") {
                MYSQL* cleanup = Open(server);
                std::string error;
                RunScript(cleanup, "DELETE FROM items", &error);
                mysql_close(cleanup);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 20000;
    Server server;   // a private server stops when it goes
    bool found = FindServer(server);
    bool ready = found && CreateBenchDatabase(server);
    if (ready)
        Measure(server, count);
    else
        fprintf(stderr, "no database server to measure against\n");
    if (found)
        DropDatabase(server.settings, server.settings.name);
    return ready ? 0 : 1;
}
