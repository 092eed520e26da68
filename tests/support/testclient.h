#pragma once

// A protocol client for end-to-end tests: one TCP connection over loopback,
// every wait bounded by a time-out.
//
//   TestClient client(server.Dir());        // message numbers from Data/LoginOpcodes.ini
//   ASSERT_TRUE(client.Connect(server.LoginPort()));
//   client.Send("LS_REQUEST_RESPONSE", Fields().U32(9));
//   std::vector<uint8_t> reply;
//   ASSERT_TRUE(client.Receive(20, &reply));
//   EXPECT_EQ(Fields().Op(client, "LS_SEND_RESPONSE").U32(9).U32(1)
//                 .Op(client, "STREAM_TERMINATOR").U32(9).U32(0).bytes, reply);

#include <cstdint>
#include <string>
#include <vector>

#include "fields.h"
#include "opcodetable.h"

// Message numbers come from the installation (OpcodeTable::Opcode); an
// unknown name fails the test.
class TestClient : public OpcodeTable {
public:
    // Reads the message numbers of the installation at installDir.
    explicit TestClient(const std::string& installDir);
    ~TestClient() override;
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // A narrow connection takes little before its reader reads (loopback.h).
    bool Connect(uint16_t port, bool narrow = false);
    void Close();

    bool SendRaw(const std::vector<uint8_t>& bytes);
    // The message number of name followed by the fields.
    bool Send(const std::string& name, const Fields& fields = Fields());

    // Exactly count bytes, or false after timeoutMs (what did arrive is kept in *out).
    bool Receive(size_t count, std::vector<uint8_t>* out, int timeoutMs = 10000);
    // True when nothing arrives within windowMs (and the connection stays open).
    bool ExpectNothing(int windowMs = 300);
    // True when the server closes the connection within timeoutMs, even
    // with bytes it sent still unread.
    bool WaitClosed(int timeoutMs = 10000);

protected:
    void Unknown(const std::string& name) const override;

private:
    int fd_ = -1;
};

// Hex text of bytes ("d0 05 09 00 ..."), for readable failure messages.
std::string HexBytes(const std::vector<uint8_t>& bytes);
