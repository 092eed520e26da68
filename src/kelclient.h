#pragma once

#include <cstdint>
#include <vector>

#include "netcrypt.h"
#include "nl.h"

// One connected client of a NetServer. Handlers and continuations queue
// replies with the Write helpers; the server's poll sends them, fills the
// receive buffer and applies the stream cipher once ResetCipher switched it on.
struct KelClient {
    NLsocket socket = NL_INVALID;      // the connection; also the key in NetServer::clients
    uint16_t id = 0;                   // client id given by the connect callback
    std::vector<uint8_t> sendBuffer;   // queued for sending, oldest first (see sendOffset)
    std::vector<uint8_t> recvBuffer;   // received, oldest first (see recvOffset)
    CipherState cipher = {};           // stream-cipher state
    bool cipherOn = false;             // the cipher applies to this client's traffic
    uint32_t clearPending = 0;         // bytes at the head of sendBuffer still to go out in clear

    // Bookkeeping of the poll, not part of the conversation.
    uint32_t sendOffset = 0;       // bytes at the head of sendBuffer already sent
    uint32_t recvOffset = 0;       // bytes at the head of recvBuffer already consumed
    uint32_t sealedCount = 0;      // bytes after the clear ones already enciphered (never twice)
    uint32_t discardPending = 0;   // incoming bytes that belong to a message already consumed whole
    bool dispatchListed = false;   // on the server's list of clients to dispatch next poll
    bool sendListed = false;       // on the server's list of clients that may have bytes to send
    uint32_t blockedCount = 0;     // bytes left when the socket last took fewer than offered

    // The bytes still to send and the bytes not yet consumed. Both buffers
    // are consumed from the head by moving an offset, so that working off
    // many small pieces costs time in proportion to the bytes, not more.
    uint32_t Queued() const { return static_cast<uint32_t>(sendBuffer.size()) - sendOffset; }
    uint8_t* QueuedData() { return sendBuffer.data() + sendOffset; }
    uint32_t Unread() const { return static_cast<uint32_t>(recvBuffer.size()) - recvOffset; }
    const uint8_t* UnreadData() const { return recvBuffer.data() + recvOffset; }
    void ConsumeSent(uint32_t count);   // count queued bytes went out
    void ConsumeRead(uint32_t count);   // count unread bytes were used (at most all of them)

    void AppendRecv(const void* data, int32_t count);
    void Write(const void* data, int32_t count);
    void WriteBytes(const void* data, int32_t count);
    void Write8(uint8_t value);
    void Write16(uint16_t value);    // least significant byte first
    void Write32(uint32_t value);    // least significant byte first
    void WriteRepeat(uint8_t value, int32_t count);

    // Switches the cipher on with an all-zero state; what is queued now
    // still goes out in clear, everything queued later is enciphered.
    void ResetCipher();
};
