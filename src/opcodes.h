#pragma once

// The message-number tables, filled from Data/LoginOpcodes.ini at start-up:
// inbound names go with their handlers into the login network server's
// table, outbound names into Server::outboundOpcodes, from which every reply
// takes its number by name.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

class ConfigFile;
struct KelClient;
struct PacketReader;

// Entries are found by the text of the name, whatever pointer a caller
// holds: the hash is the sum of the name's bytes, and two names are the same
// entry when neither sorts before the other by strcmp.
struct OpcodeNameTraits {
    static uint32_t Hash(const char* name);
    static bool Less(const char* a, const char* b);

    size_t operator()(const std::string& name) const { return Hash(name.c_str()); }
    bool operator()(const std::string& a, const std::string& b) const
    {
        return !Less(a.c_str(), b.c_str()) && !Less(b.c_str(), a.c_str());
    }
};

typedef std::unordered_map<std::string, uint16_t, OpcodeNameTraits, OpcodeNameTraits> OutboundOpcodeTable;

// The outbound number of a message name. A name that was never filed is
// filed with 0, and 0 is returned.
uint16_t OutboundOpcode(const char* name);

// 0: both tables filled; -1: Data/LoginOpcodes.ini not loaded; -2: a name missing.
int PopulateOpcodeTable();

// Registration of one name; a missing name gets number 0 and latches the
// reader's error.
void RegisterInboundOpcode(ConfigFile& config, const char* name,
                           int32_t (*handler)(PacketReader* reader, KelClient* client));
void RegisterOutboundOpcode(ConfigFile& config, const char* name);
