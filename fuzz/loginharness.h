#pragma once

// The login server in memory, for the session and continuation targets: the
// global `server` with a login NetServer that was never started (no
// sockets: its accept and read stages find nothing, its writes fail and
// keep the bytes), the message table and reply numbers read from
// install/Data/LoginOpcodes.ini by the server's own PopulateOpcodeTable,
// the two packet files, and sessions made the way the accept stage makes
// them. Bytes "arrive" through NetServer::ReceiveBytes, the read stage's own
// step, and NetServer::Poll dispatches them.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "database.h"
#include "fields.h"
#include "fuzzsupport.h"
#include "handshake.h"
#include "item.h"
#include "kelclient.h"
#include "loginmessages.h"
#include "netserver.h"
#include "opcodes.h"
#include "opcodetable.h"
#include "server.h"
#include "sessions.h"
#include "sqlcheck.h"

namespace loginharness {

// Socket handles of the in-memory sessions; the socket layer knows none of
// them, so whatever reaches it (a write, a close) fails harmlessly.
constexpr NLsocket kFirstSocket = 1000;
constexpr uint32_t kReadChunk = 2090;   // most bytes one read takes

// The message table as PopulateOpcodeTable filled it; copied into each
// fresh NetServer.
inline std::unordered_map<uint16_t, OPCODE>& MessageTable()
{
    static std::unordered_map<uint16_t, OPCODE> table;
    return table;
}

inline std::string InstallDir()
{
    std::string source = __FILE__;   // .../fuzz/loginharness.h
    return source.substr(0, source.rfind("/fuzz/")) + "/install";
}

// A packet file into a zero-padded buffer of at least minSize bytes, as
// the server's start-up loads it.
inline uint8_t* LoadPacketFile(const char* path, uint32_t minSize, uint32_t* size)
{
    FILE* file = fopen(path, "rb");
    FUZZ_CHECK(file != nullptr);
    std::vector<uint8_t> bytes;
    int c;
    while ((c = fgetc(file)) != EOF)
        bytes.push_back(uint8_t(c));
    fclose(file);
    uint8_t* buffer = new uint8_t[bytes.size() > minSize ? bytes.size() : minSize]();
    if (!bytes.empty())
        memcpy(buffer, bytes.data(), bytes.size());
    *size = uint32_t(bytes.size());
    return buffer;
}

// Once per process: message numbers, packet files, the item store's database.
inline void SetUp()
{
    QuietConsole();
    std::string dir = InstallDir();
    char previous[4096];
    FUZZ_CHECK(getcwd(previous, sizeof previous) != nullptr);
    FUZZ_CHECK(chdir(dir.c_str()) == 0);
    server.loginNet = new NetServer();
    FUZZ_CHECK(PopulateOpcodeTable() == 0);
    MessageTable() = server.loginNet->opcodes;
    delete server.loginNet;
    server.loginNet = nullptr;
    uint32_t size = 0;
    server.noUpdatePacket = LoadPacketFile("Data/Packets/NoUpdateAvailable", 28, &size);
    server.defaultInterface = LoadPacketFile("Data/Packets/DefaultInterface", 6, &server.defaultInterfaceSize);
    FUZZ_CHECK(chdir(previous) == 0);
    server.clientIds.Init();
    SetItemDatabase(&server.database);
}

// The message numbers as a client reads them from the same file, for the
// messages the targets send.
inline const OpcodeTable& Numbers()
{
    static const OpcodeTable numbers(InstallDir());
    return numbers;
}

// CLIENT_SEED with a zero seed: it turns the session's stream cipher on.
inline std::vector<uint8_t> ClientSeed()
{
    return Fields().Op(Numbers(), "CLIENT_SEED").Zeros(64).bytes;
}

// A fresh login NetServer with the real callbacks and message table.
inline NetServer* StartLoginNet()
{
    server.loginNet = new NetServer();
    server.loginNet->opcodes = MessageTable();
    server.loginNet->SetCallbacks(OnClientConnect, OnClientDisconnect, OnClientRawData);
    return server.loginNet;
}

// A connection accepted the way the accept stage accepts one.
inline KelClient* Connect(NLsocket socket)
{
    NetServer* net = server.loginNet;
    KelClient& client = net->clients[socket];
    client.socket = socket;
    client.id = 0;
    client.cipherOn = false;
    net->onConnect(&client);
    return &client;
}

inline KelClient* Find(NLsocket socket)
{
    auto it = server.loginNet->clients.find(socket);
    return it == server.loginNet->clients.end() ? nullptr : &it->second;
}

// Bytes read from a client, in reads of at most 2090 bytes; false when the
// client is gone.
inline bool Receive(NLsocket socket, const uint8_t* data, size_t count)
{
    uint8_t chunk[kReadChunk];
    do {
        KelClient* client = Find(socket);
        if (!client)
            return false;
        size_t n = count < kReadChunk ? count : kReadChunk;
        memcpy(chunk, data, n);
        if (!server.loginNet->ReceiveBytes(client, chunk, uint32_t(n)))
            return false;
        data += n;
        count -= n;
    } while (count > 0);
    return true;
}

// Every statement queued from index `first` on has a sound form; returns
// the queue's length.
inline size_t CheckStatementsFrom(size_t first)
{
    size_t index = 0;
    for (const QUERY& query : server.database.queue)
        if (index++ >= first)
            sqlcheck::CheckQueuedStatement(query);
    return index;
}

// Everything one input made goes, so the next input starts alike.
inline void TearDown()
{
    server.clients.clear();   // frees each chain's working data
    delete server.loginNet;
    server.loginNet = nullptr;
    for (QUERY& query : server.database.queue)
        delete[] query.text;
    server.database.queue.clear();
    for (auto& entry : server.database.results)
        if (entry.second.result)
            mysql_free_result(entry.second.result);
    server.database.results.clear();
    server.database.nextQueryId = 2;
    sessionLists.refusedSockets.clear();
    sessionLists.closedSessions.clear();
    server.clientIds.Clear();
    server.clientIds.Init();
}

} // namespace loginharness
