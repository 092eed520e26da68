#include "opcodes.h"

#include <cstring>

#include "accountcreate.h"
#include "accountlogin.h"
#include "characterdelete.h"
#include "configfile.h"
#include "handshake.h"
#include "interfacedata.h"
#include "netserver.h"
#include "server.h"

uint32_t OpcodeNameTraits::Hash(const char* name)
{
    uint32_t sum = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++)
        sum += *p;
    return sum;
}

bool OpcodeNameTraits::Less(const char* a, const char* b)
{
    return strcmp(a, b) < 0;
}

uint16_t OutboundOpcode(const char* name)
{
    return server.outboundOpcodes[name];
}

void RegisterInboundOpcode(ConfigFile& config, const char* name,
                           int32_t (*handler)(PacketReader* reader, KelClient* client))
{
    uint16_t number = 0;
    config.GetHexShort(name, &number);
    server.loginNet->RegisterOpcode(name, number, handler);
}

void RegisterOutboundOpcode(ConfigFile& config, const char* name)
{
    uint16_t number = 0;
    config.GetHexShort(name, &number);
    server.outboundOpcodes.try_emplace(name, number); // a name filed twice keeps its first number
}

// Inbound names in registration order: when two share a number, the earlier
// one keeps it.
static void RegisterInboundOpcodes(ConfigFile& config)
{
    RegisterInboundOpcode(config, "CLIENT_SEED", HandleClientSeed);
    RegisterInboundOpcode(config, "CLIENT_VERSION", HandleClientVersion);
    RegisterInboundOpcode(config, "ACCOUNT_LOGIN", HandleAccountLogin);
    RegisterInboundOpcode(config, "ACCOUNT_LOGOUT", HandleAccountLogout);
    RegisterInboundOpcode(config, "ACCOUNT_DATA_FROM_CC", HandleAccountDataFromClient);
    RegisterInboundOpcode(config, "PLAYCREATE_CHARACTER", nullptr);
    RegisterInboundOpcode(config, "CHARACTER_DELETE", HandleCharacterDelete);
    RegisterInboundOpcode(config, "CHARACTER_PLAYNAME", nullptr);
    RegisterInboundOpcode(config, "COMPUTER_USER", HandleComputerUser);
    RegisterInboundOpcode(config, "KEEP_ALIVE", HandleKeepAlive);
    RegisterInboundOpcode(config, "LS_CLIENT_ID", HandleClientId);
    RegisterInboundOpcode(config, "CREATE_ACCOUNT", HandleCreateAccount);
    RegisterInboundOpcode(config, "LS_COMPUTER_HARDWARE", HandleComputerHardware);
    RegisterInboundOpcode(config, "EXIT_GAME", HandleExitGame);
    RegisterInboundOpcode(config, "LAST_CHARACTER_INFO", nullptr);
    RegisterInboundOpcode(config, "LS_COMPUTER_HASH", HandleComputerHash);
    RegisterInboundOpcode(config, "LS_REQUEST_RESPONSE", HandleRequestResponse);
}

static void RegisterOutboundOpcodes(ConfigFile& config)
{
    RegisterOutboundOpcode(config, "NO_UPDATES");
    RegisterOutboundOpcode(config, "SERVER_SEED");
    RegisterOutboundOpcode(config, "ACCOUNT_DATA");
    RegisterOutboundOpcode(config, "ACCOUNT_FRIENDSLIST_END");
    RegisterOutboundOpcode(config, "STREAM_TERMINATOR");
    RegisterOutboundOpcode(config, "ACCOUNT_PERMISSIONS");
    RegisterOutboundOpcode(config, "CHARACTER_INFO");
    RegisterOutboundOpcode(config, "COMPUTER_INFO_REPLY");
    RegisterOutboundOpcode(config, "P12B_REPLY");
    RegisterOutboundOpcode(config, "REFER_TO_GAMESERV");
    RegisterOutboundOpcode(config, "STREAM_TERMINATOR");
    RegisterOutboundOpcode(config, "LS_SEND_RESPONSE");
}

int PopulateOpcodeTable()
{
    ConfigFile config;
    if (config.Load("Data/LoginOpcodes.ini") != 0)
        return -1;
    RegisterInboundOpcodes(config);
    RegisterOutboundOpcodes(config);
    if (config.HasError())
        return -2;
    config.Clear();
    return 0;
}
