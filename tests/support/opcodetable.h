#pragma once

// The message numbers of an installation, read from its
// Data/LoginOpcodes.ini: each value is hexadecimal and names the message's
// two wire bytes in written order.
//
//   OpcodeTable numbers(installDir);
//   Fields().Op(numbers, "LS_CLIENT_ID").Zeros(4);

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class OpcodeTable {
public:
    explicit OpcodeTable(const std::string& installDir);
    virtual ~OpcodeTable() = default;

    bool Has(const std::string& name) const;
    // The two wire bytes of a message name; {0, 0} when the file lacks it.
    std::vector<uint8_t> Opcode(const std::string& name) const;
    // Whether data holds the number of that message at offset.
    bool At(const std::vector<uint8_t>& data, size_t offset, const std::string& name) const;

protected:
    // Told of every name asked for that the file lacks.
    virtual void Unknown(const std::string&) const {}

private:
    std::map<std::string, std::vector<uint8_t>> opcodes_;
};
