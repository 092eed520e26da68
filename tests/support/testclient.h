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
#include <map>
#include <string>
#include <vector>

class TestClient;

// Builds message bytes: little-endian integers, UTF-16LE text with a
// 16-bit unit count, raw bytes.
struct Fields {
    std::vector<uint8_t> bytes;

    Fields& U8(uint8_t value);
    Fields& U16(uint16_t value);
    Fields& U32(uint32_t value);
    Fields& Zeros(size_t count);
    Fields& Raw(const std::vector<uint8_t>& data);
    Fields& Wide(const std::u16string& text);        // u16 unit count, then the units
    Fields& Op(const TestClient& client, const std::string& name); // a message number
};

class TestClient {
public:
    // Reads the message numbers of the installation at installDir.
    explicit TestClient(const std::string& installDir);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // A narrow connection takes little before its reader reads (loopback.h).
    bool Connect(uint16_t port, bool narrow = false);
    void Close();

    // The two wire bytes of a message name (fails the test when unknown).
    std::vector<uint8_t> Opcode(const std::string& name) const;

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

private:
    int fd_ = -1;
    std::map<std::string, std::vector<uint8_t>> opcodes_;
};

// Hex text of bytes ("d0 05 09 00 ..."), for readable failure messages.
std::string HexBytes(const std::vector<uint8_t>& bytes);
