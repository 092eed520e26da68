#pragma once

// The login server: one object, `server`, that owns everything living for
// the whole run. Handlers and continuations reach its members through it:
// `server.loginNet`, `server.database`, `server.clients`, `server.log`,
// `OutboundOpcode(name)` for reply numbers, the settings and the packet files.

#include <cstdint>
#include <cstdio>

#include "database.h"
#include "idpool.h"
#include "nl.h"
#include "opcodes.h"
#include "sessions.h"
#include "syslog.h"

class NetServer;

class Server {
public:
    Server();
    ~Server();                 // runs the teardown when Shutdown has not
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int Init();                // start-up: 0, or the negative code of the failed step
    int Run();                 // the main loop, until SIGINT or SIGTERM asks it to stop
    void Shutdown();           // the teardown; runs once
    ClientData* GetClientData(uint16_t id); // the live session of a client id, or null

    NetServer* loginNet = nullptr;     // game clients' port; owned
    NetServer* internalNet = nullptr;  // game servers' port; owned
    Database database;                 // the database layer
    IdPool clientIds;                  // client-id allocator
    ClientTable clients;               // login state per client id
    OutboundOpcodeTable outboundOpcodes; // reply numbers by message name
    SysLog log;                        // Logs/LsSysLog.txt, echoed on the console

    bool lockServerAtStart = false;    // LockServerAtStart: only high access levels may log in
    bool throttleCpu = false;          // ThrottleCPU: pause up to 1 ms per pass, ended by work
    char gameServPass[25] = {};        // GameServPass: kept for the game-server side
    uint16_t maxGameServers = 0;       // MaxGameServers: client maximum of the internal port
    bool detectGameServIp = false;     // DetectGameServIP: kept only
    bool ignoreNoGameServer = false;   // IgnoreNoGameServer: kept only
    bool requireValidPassword = false; // RequireValidPassword: check stored passwords at login

    // Data/Packets/NoUpdateAvailable, at least 28 bytes (zero-padded): its
    // first 28 bytes answer the update check.
    uint8_t* noUpdatePacket = nullptr;
    // Length of Data/Packets/DefaultInterface as the file holds it.
    uint32_t defaultInterfaceSize = 0;
    // Data/Packets/DefaultInterface, at least 6 bytes (zero-padded), so its
    // number and request id can be patched in even when the file is shorter.
    uint8_t* defaultInterface = nullptr;

private:
    void PauseUntilWork();     // the ThrottleCPU pause of the run loop

    bool initStarted = false;  // Init ran: the teardown has something to do
    bool shutDown = false;     // the teardown ran
};

extern Server server;

// SIGINT and SIGTERM end the start-up's connection attempts or the run loop
// so that the teardown runs, and a second one ends the process at once;
// SIGPIPE is ignored (a peer that closed must not kill the server).
void InstallSignalHandlers();

// Length of an open file, its position left unchanged; -1 for a null
// stream or a length that cannot be taken.
int32_t GetFileLength(FILE* file);
