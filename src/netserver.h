#pragma once

#include <chrono>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "kelclient.h"
#include "nl.h"
#include "packetreader.h"

// Message handler: gets a reader over the client's unread bytes,
// positioned just past the 2-byte message number. Returns the message's
// length in bytes (number included); 0 or less leaves the bytes buffered,
// and the message is offered again once more bytes have arrived. A length
// beyond what has arrived drops the rest of the message as it comes.
typedef int32_t (*OpcodeHandler)(PacketReader* reader, KelClient* client);

// Connect and disconnect callbacks; the result is ignored.
typedef int32_t (*ClientCallback)(KelClient* client);

// Raw-data callback: sees the unread bytes (at least 2) before the message
// table. Above 0: bytes consumed, as by a handler; the table is skipped
// this poll.
typedef int32_t (*RawDataCallback)(const uint8_t* data, uint32_t length, KelClient* client);

// One entry of the message table.
struct OPCODE {
    uint16_t opcode;         // message number; also the key in NetServer::opcodes
    char name[100];          // message name (at most 99 characters), for console lines
    OpcodeHandler handler;   // null for a message registered but not handled
};

// Start and stop the socket layer for the whole process.
int32_t NetworkInit();       // 0; -1 layer start failed; -2 IP network not selectable
int32_t NetworkShutdown();   // 0

// One listening TCP port and its clients, driven by Poll from the run loop.
// Nothing in it waits. Callbacks and handlers may queue bytes for any client
// but should not remove a client of the server that is polling.
class NetServer {
public:
    NetServer();
    ~NetServer();
    NetServer(const NetServer&) = delete;
    NetServer& operator=(const NetServer&) = delete;

    // 0; -1 when the socket cannot be opened (also for an address text that
    // does not parse); -2 when it cannot listen.
    int32_t Start(const char* address, uint16_t port, uint32_t maxClients);
    void SetCallbacks(ClientCallback connect, ClientCallback disconnect, RawDataCallback rawData);
    // The first registration of a number wins.
    void RegisterOpcode(const char* name, uint16_t opcode, OpcodeHandler handler);
    int32_t Poll();   // accept, read, send, dispatch; always 0
    // True when the next Poll has work that no new input will announce: a
    // message buffered behind the one just handled, or bytes queued that no
    // write has tried yet. A loop that pauses between polls skips the pause.
    bool HasWorkWaiting() const;
    // Another connection would be accepted: fewer than maxClients held, and
    // accepting is not held back for want of descriptors.
    bool HasRoom() const;
    // The read stage's work on bytes read from a client: deciphered in
    // place when its cipher is on, then buffered and offered to the next
    // dispatch stage. False when the client was dropped for buffering too
    // much (its record is gone).
    bool ReceiveBytes(KelClient* client, uint8_t* data, uint32_t count);

    // Bytes written to a record go out in the next send stage when the
    // record was reached this pass through FindClient, Send or a callback or
    // handler argument; otherwise only at the next sweep over all clients
    // (every 1024 polls).
    KelClient* FindClient(NLsocket socket);
    void Send(NLsocket socket, const void* data, int32_t count);
    void RemoveClient(NLsocket socket);   // no disconnect callback
    int32_t Stop();                       // closes everything, no callbacks; 0

    NLsocket listenSocket;   // NL_INVALID until Start opened it
    uint16_t port;           // the port given to Start
    NLint group;             // socket group of the clients; NL_INVALID until Start made it
    uint32_t maxClients;     // most clients held at once
    std::unordered_map<NLsocket, KelClient> clients;   // connected clients by socket
    std::unordered_map<uint16_t, OPCODE> opcodes;      // message table by number
    ClientCallback onConnect;       // after a client was accepted, or null
    ClientCallback onDisconnect;    // before a client whose read failed is removed, or null
    RawDataCallback onRawData;      // offered the receive buffer first, or null

private:
    void AcceptStage();
    void WaitForDescriptors();
    void ReadStage();
    void ReadClient(NLsocket socket);
    void DropFailedClient(NLsocket socket, const char* reason);
    void SendStage();
    void SendQueued(KelClient* client);
    void DispatchStage();
    void DispatchClient(NLsocket socket);
    int32_t DispatchByNumber(KelClient* client);
    void ListForSend(KelClient* client);
    void ListForDispatch(KelClient* client);

    std::vector<NLsocket> readActiveSockets;   // ready list of the read poll
    std::vector<NLsocket> sendList;            // clients that may have bytes queued
    std::vector<NLsocket> dispatchList;        // clients with bytes not yet offered
    std::vector<NLsocket> sendScratch;         // the send list being worked through
    std::vector<NLsocket> dispatchScratch;     // the dispatch list being worked through
    uint32_t pollCount = 0;                    // polls so far, for the occasional full sweep
    bool outOfDescriptors = false;             // connections wait for want of descriptors
    std::chrono::steady_clock::time_point acceptRetryAt;   // meanwhile, no accept before this
    uint8_t readBuffer[2090];                  // one read of one client
};
