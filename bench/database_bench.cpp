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
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "database.h"

namespace {

struct Server {
    std::string host, user, password, dbName;
    unsigned int port = 0;
    std::string privateDir;   // set when we started the server ourselves
};

const std::string SOURCE_DIR = [] {
    std::string file = __FILE__;
    return file.substr(0, file.rfind("/bench/"));
}();

std::string FileText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string EnvValue(const std::string& text, const std::string& key)
{
    size_t at = text.find(key + "=");
    if (at == std::string::npos)
        return "";
    size_t start = at + key.size() + 1;
    return text.substr(start, text.find('\n', start) - start);
}

bool FindServer(Server& server)
{
    if (const char* host = getenv("LS_DB_HOST")) {
        server.host = host;
        server.port = static_cast<unsigned int>(atoi(getenv("LS_DB_PORT") ? getenv("LS_DB_PORT") : "3306"));
        server.user = getenv("LS_DB_USER") ? getenv("LS_DB_USER") : "";
        server.password = getenv("LS_DB_PASS") ? getenv("LS_DB_PASS") : "";
        return true;
    }
    char dir[] = "/tmp/lsbench.XXXXXX";
    if (!mkdtemp(dir))
        return false;
    server.privateDir = dir;
    std::string command = "bash '" + SOURCE_DIR + "/scripts/mariadb.sh' start " + server.privateDir + " >&2";
    if (system(command.c_str()) != 0)
        return false;
    std::string env = FileText(server.privateDir + "/env");
    server.host = EnvValue(env, "LS_DB_HOST");
    server.port = static_cast<unsigned int>(atoi(EnvValue(env, "LS_DB_PORT").c_str()));
    server.user = EnvValue(env, "LS_DB_USER");
    server.password = EnvValue(env, "LS_DB_PASS");
    return !server.host.empty();
}

MYSQL* Open(const Server& server, const char* dbName, unsigned long flags = 0)
{
    MYSQL* connection = mysql_init(nullptr);
    if (!mysql_real_connect(connection, server.host.c_str(), server.user.c_str(), server.password.c_str(), dbName,
                            server.port, nullptr, flags)) {
        fprintf(stderr, "cannot connect: %s\n", mysql_error(connection));
        mysql_close(connection);
        return nullptr;
    }
    return connection;
}

bool RunScript(MYSQL* connection, const std::string& script)
{
    if (mysql_real_query(connection, script.data(), script.size()) != 0)
        return false;
    int next = 0;
    while (next == 0) {
        if (MYSQL_RES* result = mysql_store_result(connection))
            mysql_free_result(result);
        next = mysql_next_result(connection);
    }
    return next < 0;
}

// A fresh database with the schema and some accounts to look up.
bool CreateBenchDatabase(Server& server)
{
    server.dbName = "lsbench_" + std::to_string(getpid());
    MYSQL* admin = Open(server, nullptr, CLIENT_MULTI_STATEMENTS);
    if (!admin)
        return false;
    std::string setup = "CREATE DATABASE " + server.dbName + "; USE " + server.dbName + ";\n" +
                        FileText(SOURCE_DIR + "/db/schema.sql") +
                        "\nINSERT INTO accounts(Email) SELECT seq FROM seq_1_to_1000;";
    bool ok = RunScript(admin, setup);
    if (!ok)
        fprintf(stderr, "setting up %s: %s\n", server.dbName.c_str(), mysql_error(admin));
    mysql_close(admin);
    return ok;
}

void DropBenchDatabase(const Server& server)
{
    if (MYSQL* admin = Open(server, nullptr)) {
        RunScript(admin, "DROP DATABASE IF EXISTS " + server.dbName);
        mysql_close(admin);
    }
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
        handles.push_back(Open(server, server.dbName.c_str()));
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
    bool connected = db.Connect(server.host.c_str(), server.user.c_str(), server.password.c_str(),
                                server.dbName.c_str(), server.port, connections);
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
                MYSQL* cleanup = Open(server, server.dbName.c_str());
                RunScript(cleanup, "DELETE FROM items");
                mysql_close(cleanup);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 20000;
    Server server;
    bool ready = FindServer(server) && CreateBenchDatabase(server);
    if (ready)
        Measure(server, count);
    else
        fprintf(stderr, "no database server to measure against\n");
    if (!server.dbName.empty())
        DropBenchDatabase(server);
    if (!server.privateDir.empty()) {
        std::string command = "bash '" + SOURCE_DIR + "/scripts/mariadb.sh' stop " + server.privateDir + " >&2";
        if (system(command.c_str()) != 0)
            fprintf(stderr, "could not stop the private server in %s\n", server.privateDir.c_str());
        rmdir(server.privateDir.c_str());
    }
    return ready ? 0 : 1;
}
