#include "server.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>

#include <unistd.h>

#include "configfile.h"
#include "handshake.h"
#include "item.h"
#include "loopwait.h"
#include "netserver.h"
#include "version.h"

Server server;

// Set by SIGINT and SIGTERM: the connection attempts of start-up end at the
// next attempt, the run loop at its next pass, and the teardown runs. An
// atomic, as any thread may take a signal; lock-free, so a handler may use it.
static std::atomic<int> stopRequested{0};
static_assert(std::atomic<int>::is_always_lock_free);

// The shortest packet files the server can use: the update-check answer
// sends 28 bytes, and the default interface gets 6 bytes patched in.
static const int32_t kNoUpdateMinSize = 28;
static const int32_t kDefaultInterfaceMinSize = 6;

// Settings that only start-up needs.
struct StartupSettings {
    char lsIp[20];          // IPAddress: bind address of both ports
    uint16_t lsPort;        // Port: login port
    int32_t lsMaxPlayers;   // MaxPlayers: client maximum of the login port
    char dbIp[20];          // DatabaseIP
    uint16_t dbPort;        // DatabasePort
    char dbName[25];        // DatabaseName
    char dbUser[25];        // DatabaseUser
    char dbPass[25];        // DatabasePass
    uint16_t dbMaxPipes;    // MaxPipes: connections per attempt
    uint16_t dbMaxRetries;  // MaxRetryConnects: connection attempts
    uint16_t isPort;        // ICPort: internal port
};

Server::Server() {}

Server::~Server()
{
    Shutdown();
}

ClientData* Server::GetClientData(uint16_t id)
{
    auto it = clients.find(id);
    if (it == clients.end() || it->second.closed)
        return nullptr;
    return &it->second;
}

// A second signal ends the process at once, for a teardown that waits on
// a database that does not answer. Only async-signal-safe calls here.
static void RequestStop(int signalNumber)
{
    if (stopRequested.exchange(1))
        _exit(128 + signalNumber);
}

void InstallSignalHandlers()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = RequestStop;
    // Neither signal interrupts the handler of the other on its thread.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int32_t GetFileLength(FILE* file)
{
    if (!file)
        return -1;
    long position = ftell(file);
    if (position < 0 || fseek(file, 0, SEEK_END) != 0)
        return -1;
    long length = ftell(file);
    if (fseek(file, position, SEEK_SET) != 0 || length < 0 || length > INT32_MAX)
        return -1;
    return static_cast<int32_t>(length);
}

// A start-up step's failure: logs its line, gives its code.
static int Failed(int code, const char* line)
{
    server.log.Write("%s", line);
    return code;
}

static int StartNetworkLayer(StartupSettings&)
{
    if (NetworkInit() != 0)
        return Failed(-1, "[!] Failed to initialize the network subsystem.\n");
    return 0;
}

// Reads every key, in order, whatever is missing; 0 or -3. A string longer
// than its buffer is an error like a missing key, never a cut value.
static int ReadSettings(ConfigFile& config, StartupSettings& s)
{
    config.GetString("IPAddress", s.lsIp);
    config.GetUShort("Port", &s.lsPort);
    config.GetInt("MaxPlayers", &s.lsMaxPlayers);
    config.GetBool("LockServerAtStart", &server.lockServerAtStart);
    config.GetBool("ThrottleCPU", &server.throttleCpu);
    config.GetString("DatabaseIP", s.dbIp);
    config.GetUShort("DatabasePort", &s.dbPort);
    config.GetString("DatabaseName", s.dbName);
    config.GetString("DatabaseUser", s.dbUser);
    config.GetString("DatabasePass", s.dbPass);
    config.GetUShort("MaxPipes", &s.dbMaxPipes);
    config.GetUShort("MaxRetryConnects", &s.dbMaxRetries);
    config.GetString("GameServPass", server.gameServPass);
    config.GetUShort("MaxGameServers", &server.maxGameServers);
    config.GetUShort("ICPort", &s.isPort);
    config.GetBool("DetectGameServIP", &server.detectGameServIp);
    config.GetBool("IgnoreNoGameServer", &server.ignoreNoGameServer);
    config.GetBool("RequireValidPassword", &server.requireValidPassword);
    return config.HasError() ? -3 : 0;
}

// Reads Config/LsConfig.ini: 0, -2 or -3.
static int LoadConfiguration(StartupSettings& s)
{
    ConfigFile config;
    if (config.Load("Config/LsConfig.ini") != 0)
        return Failed(-2, "[!] Failed to the login server configuration file.\n");
    if (ReadSettings(config, s) != 0)
        return Failed(-3, "[!] An error was encountered while processing the config file.\n");
    config.Clear();
    server.log.Write("[+] Loaded login server configuration file.\n");
    return 0;
}

// Loads a packet file whole into a zero-padded buffer of at least minSize
// bytes; false when it cannot be opened, measured or read.
static bool LoadPacketFile(const char* path, int32_t minSize, uint8_t** buffer, uint32_t* size)
{
    FILE* file = fopen(path, "rb");
    if (!file)
        return false;
    int32_t length = GetFileLength(file);
    if (length < 0) {
        fclose(file);
        return false;
    }
    size_t count = static_cast<size_t>(length);
    uint8_t* bytes = new uint8_t[std::max(length, minSize)]();
    bool readError = fread(bytes, 1, count, file) != count && ferror(file);
    fclose(file);
    if (readError) {
        delete[] bytes;
        return false;
    }
    *buffer = bytes;
    *size = static_cast<uint32_t>(length);
    return true;
}

static int LoadPacketFiles(StartupSettings&)
{
    uint32_t noUpdateSize = 0;
    if (!LoadPacketFile("Data/Packets/NoUpdateAvailable", kNoUpdateMinSize, &server.noUpdatePacket,
                        &noUpdateSize))
        return Failed(-8, "[!] Could not load file server packet.\n");
    server.log.Write("[+] Successfully loaded the file server packet.\n");
    if (!LoadPacketFile("Data/Packets/DefaultInterface", kDefaultInterfaceMinSize,
                        &server.defaultInterface, &server.defaultInterfaceSize))
        return Failed(-9, "[!] Could not load default interface data.\n");
    server.log.Write("[+] Successfully loaded the default interface data.\n");
    return 0;
}

static int StartLoginNetwork(StartupSettings& s)
{
    server.loginNet = new NetServer();
    if (server.loginNet->Start(s.lsIp, s.lsPort, static_cast<uint32_t>(s.lsMaxPlayers)) != 0)
        return Failed(-4, "[!] Could not initialize the login network server.\n");
    server.loginNet->SetCallbacks(OnClientConnect, OnClientDisconnect, OnClientRawData);
    server.log.Write("[+] Login network server (%s:%u) started.\n", s.lsIp, static_cast<unsigned>(s.lsPort));
    return 0;
}

static int LoadOpcodeTable(StartupSettings&)
{
    if (PopulateOpcodeTable() != 0)
        return Failed(-7, "[!] Unable to populate login server opcodes table.\n");
    server.log.Write("[+] Successfully populated the login server opcode table.\n");
    return 0;
}

static int StartInternalNetwork(StartupSettings& s)
{
    server.internalNet = new NetServer();
    if (server.internalNet->Start(s.lsIp, s.isPort, server.maxGameServers) != 0)
        return Failed(-5, "[!] Could not initialize the internal network server.\n");
    server.internalNet->SetCallbacks(nullptr, nullptr, nullptr);
    server.log.Write("[+] Internal network server (%s:%u) started.\n", s.lsIp, static_cast<unsigned>(s.isPort));
    return 0;
}

static int ConnectDatabase(StartupSettings& s)
{
    server.database.Init();
    server.log.Write("    Attempting connections to the database server...\n");
    bool connected = false;
    for (uint16_t attempt = 0; attempt < s.dbMaxRetries && !connected && !stopRequested; attempt++) {
        connected = server.database.Connect(s.dbIp, s.dbUser, s.dbPass, s.dbName, s.dbPort,
                                            s.dbMaxPipes);
        if (!connected)
            server.log.Write("[!] Failed to connect to database! Host: %s User: %s Pass: %s "
                             "DBName: %s, Port: %u",
                             s.dbIp, s.dbUser, s.dbPass, s.dbName, static_cast<unsigned>(s.dbPort));
    }
    if (!connected)
        return Failed(-6, "[!] Could not connect to the database server.\n");
    server.log.Write("[+] All connections to the database server established.\n");
    return 0;
}

// The steps after the log is open, in order; each gives 0 or the code that
// ends start-up, and logs its own lines.
typedef int (*StartupStep)(StartupSettings& settings);
static const StartupStep kStartupSteps[] = {
    StartNetworkLayer,      // -1
    LoadConfiguration,      // -2, -3
    LoadPacketFiles,        // -8, -9
    StartLoginNetwork,      // -4
    LoadOpcodeTable,        // -7
    StartInternalNetwork,   // -5
    ConnectDatabase,        // -6
};

int Server::Init()
{
    initStarted = true;
    loginNet = nullptr;
    internalNet = nullptr;
    clientIds.Init();
    log.Open("Logs/LsSysLog.txt");
    log.Write("----------------------------------------------------------------\n");
    log.Write("Vessik Login Server v%s\n\n", LS_VERSION);
    log.Write("[+] System Log File Opened\n");
    StartupSettings settings = {};
    for (StartupStep step : kStartupSteps) {
        int result = step(settings);
        if (result != 0)
            return result;
    }
    SetItemDatabase(&database);
    log.Write("[*] Server Ready for Connections\n\n");
    return 0;
}

// The pause that ends a pass when ThrottleCPU is on: at most 1 ms, but over
// as soon as the next pass has something to do - a client's bytes or new
// connection, a statement finished by a worker, or work this pass left
// behind (a statement queued, a reply written, a message still buffered).
// An idle server still wakes once a millisecond.
void Server::PauseUntilWork()
{
    if (database.HasWorkWaiting() || loginNet->HasWorkWaiting() || internalNet->HasWorkWaiting())
        return;
    NLint groups[] = {loginNet->group, internalNet->group};
    // A full server leaves new connections waiting; they must not end every pause.
    NLsocket listeners[] = {loginNet->HasRoom() ? loginNet->listenSocket : NL_INVALID,
                            internalNet->HasRoom() ? internalNet->listenSocket : NL_INVALID};
    nlWaitForInput(groups, 2, listeners, 2, 1);
}

int Server::Run()
{
    while (!stopRequested) {
        database.Process();
        database.ProcessQueryResults(clients);
        loginNet->Poll();
        CloseRefusedConnections();
        internalNet->Poll();
        // The console is block-buffered (main): a pass's lines go out in one
        // write; with nothing printed this costs no system call.
        fflush(stdout);
        if (throttleCpu)
            PauseUntilWork();
    }
    return 0;
}

// Stops and deletes a network server that start-up created, then logs the line.
static void StopNetServer(NetServer*& net, const char* stoppedLine)
{
    if (!net)
        return;
    net->Stop();
    delete net;
    net = nullptr;
    server.log.Write("%s", stoppedLine);
}

void Server::Shutdown()
{
    if (!initStarted || shutDown)
        return;
    shutDown = true;
    delete[] noUpdatePacket;
    noUpdatePacket = nullptr;
    delete[] defaultInterface;   // nothing reads it after the loop
    defaultInterface = nullptr;
    clientIds.Clear();
    outboundOpcodes.clear();
    clients.clear();
    StopNetServer(loginNet, "[-] Login network server shutdown.\n");
    StopNetServer(internalNet, "[-] Internal network server shutdown.\n");
    NetworkShutdown();
    log.Write("[-] Network subsystem shutdown.\n");
    log.Write("\n[*] Server Shutdown\n");
    log.Close();
}
