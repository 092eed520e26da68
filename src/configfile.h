#pragma once

// Reader of flat "tag=value" text files (Config/LsConfig.ini,
// Data/LoginOpcodes.ini). Every line is lower-cased before it is split, so
// tags match in any case and every value comes back in lower case.
//
// Use: Load once, read every tag you need without testing each result, then
// ask HasError once: a missing tag latches the error, so one missing key fails
// the whole batch. Messages go to the console only.

#include <cstddef>
#include <cstdint>
#include <vector>

// One entry of the file: tag and value, both zero-terminated, lower case.
struct CF {
    CF(const char* pTag, const char* pValue);

    char tag[500];    // a line holds at most 499 characters, so both fit
    char value[500];
};

class ConfigFile {
public:
    ConfigFile();
    ~ConfigFile();

    // Appends the file's entries. 0 ok; -1 file not opened or read error;
    // -2 a line without '=' or longer than 499 characters (entries of the
    // lines before it stay).
    int32_t Load(const char* path);

    // Index of the first entry whose tag equals name (any case), or -1 with
    // the error latched.
    int32_t FindTag(const char* name);
    // The value of the entry FindTag finds, or null with the error latched.
    const char* FindValue(const char* tag);

    // Getters: 0 when the tag was found and *out written; -1 otherwise, with
    // the error latched and out untouched.

    // Copies the value with its terminator. A value that does not fit into
    // outSize bytes is an error as well: nothing is copied.
    int32_t GetString(const char* tag, char* out, size_t outSize);
    template <size_t N>
    int32_t GetString(const char* tag, char (&out)[N]) { return GetString(tag, out, N); }

    int32_t GetUShort(const char* tag, uint16_t* out);    // decimal, low 16 bits
    // Decimal, or, when the value's second character is 'x' or 'X', a hex
    // byte string in written order ("0x14" -> bytes 00 00 00 14).
    int32_t GetInt(const char* tag, int32_t* out);
    int32_t GetUInt(const char* tag, uint32_t* out);
    // Hex ("0x" optional), low 16 bits, bytes in written order
    // ("0xAABB" -> bytes AA BB in memory).
    int32_t GetHexShort(const char* tag, uint16_t* out);
    int32_t GetBool(const char* tag, bool* out);           // true only for "true"
    // Dotted quad; parts that are missing give 0.
    int32_t GetIPv4(const char* tag, uint8_t out[4]);

    bool HasError();      // an error was latched since the last Load
    void Clear();         // drops the entries, keeps the error status

    std::vector<CF> entries;  // every entry in file order, duplicates kept
    int32_t status;           // 0; -1 missing file or tag; -2 bad line
};
