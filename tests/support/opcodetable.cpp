#include "opcodetable.h"

#include <cctype>
#include <fstream>

// "0xC001" -> C0 01: the hex digits name the wire bytes in written order.
static std::vector<uint8_t> WireBytes(std::string value)
{
    if (value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X'))
        value = value.substr(2);
    size_t digits = 0;
    while (digits < value.size() && isxdigit(static_cast<unsigned char>(value[digits])))
        digits++;
    std::string hex = std::string(4, '0') + value.substr(0, digits);
    hex = hex.substr(hex.size() - 4);
    return {uint8_t(std::stoul(hex.substr(0, 2), nullptr, 16)),
            uint8_t(std::stoul(hex.substr(2, 2), nullptr, 16))};
}

OpcodeTable::OpcodeTable(const std::string& installDir)
{
    std::ifstream in(installDir + "/Data/LoginOpcodes.ini");
    std::string line;
    while (std::getline(in, line)) {
        size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos)
            continue;
        std::string name = line.substr(0, equals);
        for (char& c : name)
            c = char(toupper(static_cast<unsigned char>(c)));
        opcodes_[name] = WireBytes(line.substr(equals + 1));
    }
}

bool OpcodeTable::Has(const std::string& name) const
{
    return opcodes_.count(name) != 0;
}

std::vector<uint8_t> OpcodeTable::Opcode(const std::string& name) const
{
    auto it = opcodes_.find(name);
    if (it != opcodes_.end())
        return it->second;
    Unknown(name);
    return {0, 0};
}

bool OpcodeTable::At(const std::vector<uint8_t>& data, size_t offset, const std::string& name) const
{
    std::vector<uint8_t> wire = Opcode(name);
    return data.size() >= offset + 2 && data[offset] == wire[0] && data[offset + 1] == wire[1];
}
