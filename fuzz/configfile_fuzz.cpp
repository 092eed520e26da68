// The configuration reader on arbitrary files: the input becomes the file's
// bytes, is loaded, and every entry is read back through every getter into
// outputs of exactly the getter's width.

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "configfile.h"
#include "fuzzsupport.h"
#include "utility.h"

namespace {

// The input file lives in memory (memfd): no disk traffic, nothing left
// behind when a run stops. ConfigFile::Load opens it again by its path.
int inputFile = -1;
char inputPath[64];

void WriteInputFile(const uint8_t* data, size_t size)
{
    FUZZ_CHECK(ftruncate(inputFile, 0) == 0);
    size_t done = 0;
    while (done < size) {
        ssize_t written = pwrite(inputFile, data + done, size - done, static_cast<off_t>(done));
        FUZZ_CHECK(written > 0);
        done += static_cast<size_t>(written);
    }
}

// Every stored text is zero-terminated within its field and lower case.
void CheckEntry(const CF& entry)
{
    FUZZ_CHECK(strnlen(entry.tag, sizeof(entry.tag)) < sizeof(entry.tag));
    FUZZ_CHECK(strnlen(entry.value, sizeof(entry.value)) < sizeof(entry.value));
    for (const char* p = entry.tag; *p; p++)
        FUZZ_CHECK(!(*p >= 'A' && *p <= 'Z'));
    for (const char* p = entry.value; *p; p++)
        FUZZ_CHECK(!(*p >= 'A' && *p <= 'Z'));
}

int32_t FirstIndexOf(const ConfigFile& config, const char* tag)
{
    for (size_t i = 0; i < config.entries.size(); i++) {
        if (strcmp(config.entries[i].tag, tag) == 0)
            return static_cast<int32_t>(i);
    }
    return -1;
}

std::string UpperCase(const char* text)
{
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

// GetString into a buffer of exactly outSize bytes: the whole value with its
// terminator when it fits, else an error and the buffer untouched.
void CheckGetString(ConfigFile& config, const char* tag, const char* value, size_t outSize)
{
    std::unique_ptr<char[]> out = ExactBuffer(outSize);
    memset(out.get(), 0x5A, outSize);
    int32_t result = config.GetString(tag, out.get(), outSize);
    size_t length = strlen(value);
    if (length < outSize) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(memcmp(out.get(), value, length + 1) == 0);
    } else {
        FUZZ_CHECK(result == -1);
        FUZZ_CHECK(config.status == -1);
        for (size_t i = 0; i < outSize; i++)
            FUZZ_CHECK(out[i] == 0x5A);
    }
}

uint32_t ExpectedInt(const char* value)
{
    if (value[0] != '\0' && (value[1] == 'x' || value[1] == 'X')) {
        uint32_t number = ReferenceHex(value);
        return __builtin_bswap32(number);   // the written bytes in written order
    }
    return static_cast<uint32_t>(ReferenceDecimal(value));
}

// Each getter on a tag that FindTag finds: found, the reference value, and
// outputs of exactly their type's size so ASan sees any wider write.
void CheckNumberGetters(ConfigFile& config, const char* tag, const char* value)
{
    auto ushort = ExactValue<uint16_t>();
    FUZZ_CHECK(config.GetUShort(tag, ushort.get()) == 0);
    FUZZ_CHECK(*ushort == static_cast<uint16_t>(ReferenceDecimal(value)));

    auto hexShort = ExactValue<uint16_t>();
    FUZZ_CHECK(config.GetHexShort(tag, hexShort.get()) == 0);
    FUZZ_CHECK(*hexShort == __builtin_bswap16(static_cast<uint16_t>(ReferenceHex(value))));

    auto signedInt = ExactValue<int32_t>();
    auto unsignedInt = ExactValue<uint32_t>();
    FUZZ_CHECK(config.GetInt(tag, signedInt.get()) == 0);
    FUZZ_CHECK(config.GetUInt(tag, unsignedInt.get()) == 0);
    FUZZ_CHECK(*unsignedInt == ExpectedInt(value));
    FUZZ_CHECK(static_cast<uint32_t>(*signedInt) == *unsignedInt);

    auto flag = ExactValue<bool>();
    FUZZ_CHECK(config.GetBool(tag, flag.get()) == 0);
    FUZZ_CHECK(*flag == (strcmp(value, "true") == 0));

    auto address = ExactBuffer<uint8_t>(4);
    FUZZ_CHECK(config.GetIPv4(tag, address.get()) == 0);
}

void CheckEntryThroughGetters(ConfigFile& config, size_t index)
{
    // Copies: the getters must find the entry by an equal name, not by
    // pointer, and must not change it.
    std::string tag = config.entries[index].tag;
    std::string value = config.entries[index].value;
    int32_t first = FirstIndexOf(config, tag.c_str());

    int32_t found = config.FindTag(tag.c_str());
    if (tag.size() >= 100) {
        // Longer than any name the system asks for: found or not, never a
        // different tag.
        FUZZ_CHECK(found == -1 || found == first);
        return;
    }
    FUZZ_CHECK(found == first);
    FUZZ_CHECK(config.FindTag(UpperCase(tag.c_str()).c_str()) == first);

    const char* firstValue = config.entries[first].value;
    const size_t sizes[] = {0, 1, 2, 8, strlen(firstValue), strlen(firstValue) + 1, 500};
    for (size_t size : sizes)
        CheckGetString(config, tag.c_str(), firstValue, size);
    CheckNumberGetters(config, tag.c_str(), firstValue);

    FUZZ_CHECK(tag == config.entries[index].tag);
    FUZZ_CHECK(value == config.entries[index].value);
}

// A name that no entry can have: tags end at the first control character.
void CheckMissingTag(ConfigFile& config)
{
    const char* missing = "\x01missing";
    auto out = ExactValue<uint16_t>();
    *out = 0x1234;
    FUZZ_CHECK(config.GetUShort(missing, out.get()) == -1);
    FUZZ_CHECK(*out == 0x1234);
    FUZZ_CHECK(config.status == -1);
    FUZZ_CHECK(config.HasError());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QuietConsole();
    inputFile = memfd_create("configfile_fuzz", 0);
    FUZZ_CHECK(inputFile >= 0);
    snprintf(inputPath, sizeof(inputPath), "/proc/self/fd/%d", inputFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    WriteInputFile(data, size);

    ConfigFile config;
    int32_t result = config.Load(inputPath);
    FUZZ_CHECK(result == 0 || result == -2);   // the file is there: only bad lines fail
    FUZZ_CHECK(config.status == result);
    FUZZ_CHECK(config.HasError() == (result != 0));

    size_t loaded = config.entries.size();
    for (const CF& entry : config.entries)
        CheckEntry(entry);

    // Enough entries to reach every getter path; a file of thousands of
    // short lines only repeats them.
    const size_t kMaxChecked = 64;
    for (size_t i = 0; i < loaded && i < kMaxChecked; i++)
        CheckEntryThroughGetters(config, i);

    CheckMissingTag(config);

    // A second Load appends the same entries again and resets the latch.
    FUZZ_CHECK(config.Load(inputPath) == result);
    FUZZ_CHECK(config.entries.size() == 2 * loaded);
    for (size_t i = 0; i < loaded; i++) {
        FUZZ_CHECK(strcmp(config.entries[i].tag, config.entries[loaded + i].tag) == 0);
        FUZZ_CHECK(strcmp(config.entries[i].value, config.entries[loaded + i].value) == 0);
    }

    config.Clear();
    FUZZ_CHECK(config.entries.empty());
    FUZZ_CHECK(config.status == result);
    return 0;
}
