#include "configfile.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "utility.h"

static_assert(std::endian::native == std::endian::little,
              "hex values are stored as byte strings through host-order swaps");

namespace {

const size_t kMaxLine = 499;   // characters of one line, terminator not counted

enum ReadResult { kLineRead, kEndOfFile, kReadError };

// Reads one physical line. The line feed is consumed and not stored, a
// carriage return just before it is dropped. A line longer than kMaxLine is
// consumed whole; *tooLong tells it, and line holds its beginning.
ReadResult ReadLine(FILE* file, char (&line)[kMaxLine + 2], bool* tooLong)
{
    size_t length = 0;   // characters of the line so far, stored or not
    int c;
    while ((c = getc(file)) != EOF && c != '\n') {
        if (length < kMaxLine + 1)
            line[length] = static_cast<char>(c);
        length++;
    }
    if (c == EOF) {
        if (ferror(file))
            return kReadError;
        if (length == 0)
            return kEndOfFile;
    }
    if (c == '\n' && length > 0 && length <= kMaxLine + 1 && line[length - 1] == '\r')
        length--;
    *tooLong = length > kMaxLine;
    line[*tooLong ? kMaxLine : length] = '\0';
    return kLineRead;
}

void LowerCase(char* text)
{
    for (; *text; text++) {
        if (*text >= 'A' && *text <= 'Z')
            *text = static_cast<char>(*text - 'A' + 'a');
    }
}

// Ends one part of a line (tag or value) with a zero byte where its text
// ends, and returns the offset at which its text starts: 1 when the part
// opens with a double quote, else 0. Inside the quotes blanks belong to the
// text; a control character or ';' still ends it. Quote state is per part, so
// a quote in the tag never moves the value's start.
size_t ScanPart(char* part)
{
    bool quoted = part[0] == '"';
    size_t start = quoted ? 1 : 0;
    size_t i = start;
    for (;; i++) {
        uint8_t b = static_cast<uint8_t>(part[i]);
        if (quoted && b == '"')
            break;
        if (b == ' ' && quoted)
            continue;
        if (b <= 0x20 || b == ';')
            break;
    }
    part[i] = '\0';
    return start;
}

bool IsSkippedLine(const char* line)
{
    uint8_t first = static_cast<uint8_t>(line[0]);
    return first == '#' || first == '[' || first <= 0x20 || first >= 0x80;
}

} // namespace

CF::CF(const char* pTag, const char* pValue)
{
    memset(tag, 0, sizeof(tag));
    memset(value, 0, sizeof(value));
    memcpy(tag, pTag, strnlen(pTag, sizeof(tag) - 1));
    memcpy(value, pValue, strnlen(pValue, sizeof(value) - 1));
}

ConfigFile::ConfigFile() : status(0)
{
}

ConfigFile::~ConfigFile()
{
    Clear();
}

int32_t ConfigFile::Load(const char* path)
{
    status = 0;
    FILE* file = fopen(path, "r");
    if (!file) {
        printf("Failed to load config file: %s", path);
        status = -1;
        return -1;
    }
    char line[kMaxLine + 2];
    bool tooLong = false;
    ReadResult read;
    for (int32_t lineNumber = 0; (read = ReadLine(file, line, &tooLong)) == kLineRead; lineNumber++) {
        if (IsSkippedLine(line))
            continue;
        LowerCase(line);
        // A line over the limit is refused whole rather than split into a
        // phantom second line.
        if (tooLong || !strchr(line, '=')) {
            printf("Bad format in %s at line %d (%s)\n", path, lineNumber + 1, line);
            fclose(file);
            status = -2;
            return -2;
        }
        char* equals = strchr(line, '=');
        *equals = '\0';
        ScanPart(line);
        char* valuePart = equals + 1;
        size_t valueStart = ScanPart(valuePart);
        entries.emplace_back(line, valuePart + valueStart);
    }
    fclose(file);
    if (read == kReadError) {
        printf("Failed to load config file: %s", path);
        status = -1;
        return -1;
    }
    return 0;
}

int32_t ConfigFile::FindTag(const char* name)
{
    char lowered[100] = {};
    size_t length = strnlen(name, sizeof(lowered));
    bool fits = length < sizeof(lowered);
    memcpy(lowered, name, fits ? length : sizeof(lowered) - 1);
    LowerCase(lowered);
    // A name too long for the buffer matches nothing rather than a prefix.
    for (size_t i = 0; fits && i < entries.size(); i++) {
        if (strcmp(entries[i].tag, lowered) == 0)
            return static_cast<int32_t>(i);
    }
    printf("No Tag Exists with the name: \"%s\"", lowered);
    status = -1;
    return -1;
}

const char* ConfigFile::FindValue(const char* tag)
{
    int32_t index = FindTag(tag);
    return index < 0 ? nullptr : entries[index].value;
}

int32_t ConfigFile::GetString(const char* tag, char* out, size_t outSize)
{
    int32_t index = FindTag(tag);
    if (index < 0)
        return -1;
    const char* value = entries[index].value;
    // Never cut a host name or password short: that would be a wrong value
    // reported as a good one.
    if (strlen(value) >= outSize) {
        printf("Value too long for tag: \"%s\"", entries[index].tag);
        status = -1;
        return -1;
    }
    memcpy(out, value, strlen(value) + 1);
    return 0;
}

int32_t ConfigFile::GetUShort(const char* tag, uint16_t* out)
{
    const char* value = FindValue(tag);
    if (!value)
        return -1;
    *out = static_cast<uint16_t>(DecToLong(value));
    return 0;
}

int32_t ConfigFile::GetUInt(const char* tag, uint32_t* out)
{
    const char* value = FindValue(tag);
    if (!value)
        return -1;
    // The value has 500 zeroed bytes of room: value[1] is always there.
    if (value[1] == 'x' || value[1] == 'X') {
        uint32_t number = HexToULong(value);
        SwapBytes32(&number);   // the written bytes, in written order
        *out = number;
    } else {
        *out = static_cast<uint32_t>(DecToLong(value));
    }
    return 0;
}

int32_t ConfigFile::GetInt(const char* tag, int32_t* out)
{
    uint32_t number = 0;
    if (GetUInt(tag, &number) < 0)
        return -1;
    *out = static_cast<int32_t>(number);
    return 0;
}

int32_t ConfigFile::GetHexShort(const char* tag, uint16_t* out)
{
    const char* value = FindValue(tag);
    if (!value)
        return -1;
    uint16_t number = static_cast<uint16_t>(HexToULong(value));
    SwapBytes16(&number);   // "0xAABB" gives the bytes AA BB
    *out = number;
    return 0;
}

int32_t ConfigFile::GetBool(const char* tag, bool* out)
{
    const char* value = FindValue(tag);
    if (!value)
        return -1;
    *out = strcmp(value, "true") == 0;
    return 0;
}

int32_t ConfigFile::GetIPv4(const char* tag, uint8_t out[4])
{
    const char* value = FindValue(tag);
    if (!value)
        return -1;
    // Parts are read from the stored value without cutting it up, so a later
    // getter on the same tag still sees the whole value.
    const char* p = value;
    for (int part = 0; part < 4; part++) {
        while (*p == '.')
            p++;
        out[part] = static_cast<uint8_t>(*p ? DecToLong(p) : 0);
        while (*p && *p != '.')
            p++;
    }
    return 0;
}

bool ConfigFile::HasError()
{
    return status != 0;
}

void ConfigFile::Clear()
{
    entries.clear();
}
