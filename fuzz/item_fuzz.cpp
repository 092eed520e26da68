// The item writers on arbitrary blobs. The blob comes from the database and
// is not trusted: whatever it holds, WriteData, WriteName and Serialize must
// write no more than item.h's Item*WireMax bytes, read nothing outside the
// 200 bytes, and produce the wire layout with the blob's lengths held to the
// layout. SetName gets arbitrary text and must stay within the name field.
//
// Input: the 200-byte blob (zero-padded when shorter), one options byte
// (bit 0: a location section, bit 1: its head is given), the 32-bit value
// that Serialize writes after each tag, then the text for SetName.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzzsupport.h"
#include "item.h"
#include "utility.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint16_t kDataTag = 0x1101;
const uint16_t kLocationTag = 0x2202;
const uint16_t kNameTag = 0x3303;
const uint16_t kNameFlagTag = 0x4404;

void Append16(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Append32(Bytes& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void AppendBytes(Bytes& out, const uint8_t* bytes, size_t count)
{
    out.insert(out.end(), bytes, bytes + count);
}

// The wire layout of the data, from the blob alone: the wide-name byte length
// held to 0..25, the value count to 0..30.
Bytes ExpectedData(const uint8_t* blob)
{
    int16_t wideLength = ReadShort(blob + ItemWideNameLengthOffset);
    size_t nameBytes = static_cast<size_t>(std::clamp<int16_t>(wideLength, 0, ItemWideNameMax));
    size_t count = std::min<size_t>(blob[ItemValueCountOffset], ItemValueListMax);
    Bytes out;
    AppendBytes(out, blob, 23);
    AppendBytes(out, blob + 24, 4);
    Append16(out, static_cast<uint16_t>(nameBytes / 2));
    AppendBytes(out, blob + ItemWideNameOffset, nameBytes);
    out.push_back(static_cast<uint8_t>(count));
    AppendBytes(out, blob + ItemValueListOffset, 4 * count);
    return out;
}

Bytes ExpectedName(const uint8_t* blob)
{
    size_t length = strnlen(reinterpret_cast<const char*>(blob + ItemNameOffset), ItemNameSize - 1);
    Bytes out;
    Append16(out, static_cast<uint16_t>(length));
    for (size_t i = 0; i < length; i++)
        Append16(out, blob[ItemNameOffset + i]);
    return out;
}

struct SerializeArgs {
    uint32_t value;
    bool hasTail;
    bool hasHead;
    uint16_t tail;
    uint16_t head;
};

Bytes ExpectedStream(const uint8_t* blob, uint8_t locationByte, const SerializeArgs& args)
{
    Bytes out;
    Append16(out, kDataTag);
    Append32(out, args.value);
    Bytes data = ExpectedData(blob);
    out.insert(out.end(), data.begin(), data.end());
    if (blob[ItemNameOffset] != 0) {
        Append16(out, kNameTag);
        Append32(out, args.value);
        Bytes name = ExpectedName(blob);
        out.insert(out.end(), name.begin(), name.end());
        if (ReadULong(blob + ItemNameFlagOffset) != 0) {
            Append16(out, kNameFlagTag);
            Append32(out, args.value);
            out.push_back(blob[ItemNameFlagOffset]);
        }
    }
    if (args.hasTail) {
        Append16(out, kLocationTag);
        Append16(out, args.hasHead ? args.head : 0);
        Append32(out, args.value);
        Append16(out, args.tail);
        out.push_back(locationByte);
    }
    return out;
}

// Runs a writer twice: into a block of exactly the caller's room (maxSize),
// then into a block of exactly the size it reported. ASan sees any byte
// written past either; both runs must give the expected bytes.
template <typename Writer>
void CheckWriter(Writer write, size_t maxSize, const Bytes& expected)
{
    std::unique_ptr<uint8_t[]> room = ExactBuffer<uint8_t>(maxSize);
    uint32_t written = write(room.get());
    FUZZ_CHECK(written <= maxSize);
    FUZZ_CHECK(written == expected.size());
    FUZZ_CHECK(memcmp(room.get(), expected.data(), written) == 0);

    std::unique_ptr<uint8_t[]> exact = ExactBuffer<uint8_t>(written);
    FUZZ_CHECK(write(exact.get()) == written);
    FUZZ_CHECK(written == 0 || memcmp(exact.get(), expected.data(), written) == 0);
}

// Everything around the blob holds values the blob never has next to it, so
// a writer that reads past the blob gives bytes the model does not expect.
void FillAroundBlob(Item& item)
{
    memset(item.id, 0xA5, sizeof(item.id));
    item.inDatabase = 0xA5;
    item.location = static_cast<int32_t>(0xA5C3A5C3u);
    item.ownerCid = 0xC3C3C3C3u;
    item.ownerAid = 0x5A5A5A5Au;
}

void CheckWriters(Item& item, const SerializeArgs& args)
{
    const uint8_t* blob = item.GetData();
    CheckWriter([&](uint8_t* dest) { return item.WriteData(dest); }, ItemDataWireMax,
                ExpectedData(blob));
    CheckWriter([&](uint8_t* dest) { return item.WriteName(dest); }, ItemNameWireMax,
                ExpectedName(blob));

    // Serialize takes its pointers from the caller: exactly-sized blocks too.
    auto value = ExactValue<uint32_t>();
    *value = args.value;
    auto tail = ExactValue<uint16_t>();
    *tail = args.tail;
    auto head = ExactValue<uint16_t>();
    *head = args.head;
    Bytes expected = ExpectedStream(blob, item.GetLocationByte(), args);
    CheckWriter(
        [&](uint8_t* dest) {
            return item.Serialize(kDataTag, kLocationTag, kNameTag, kNameFlagTag, value.get(),
                                  args.hasTail ? tail.get() : nullptr,
                                  args.hasHead ? head.get() : nullptr, dest);
        },
        ItemSerializeMax, expected);
    FUZZ_CHECK(item.ownerCid == args.value);
}

// SetName changes the name field and nothing else, and keeps a terminator
// within it.
void CheckSetName(Item& item, const char* text)
{
    Item before = item;
    FUZZ_CHECK(item.SetName(text));
    size_t length = std::min(strlen(text), ItemNameSize - 1);
    FUZZ_CHECK(memcmp(item.data + ItemNameOffset, text, length) == 0);
    FUZZ_CHECK(item.data[ItemNameOffset + length] == 0);
    FUZZ_CHECK(memcmp(item.data, before.data, ItemNameOffset) == 0);
    FUZZ_CHECK(memcmp(item.data + ItemNameFlagOffset, before.data + ItemNameFlagOffset,
                      ItemDataSize - ItemNameFlagOffset) == 0);
    FUZZ_CHECK(memcmp(item.id, before.id, sizeof(item.id)) == 0);
    FUZZ_CHECK(item.inDatabase == before.inDatabase);
    FUZZ_CHECK(item.location == before.location);
    FUZZ_CHECK(item.ownerCid == before.ownerCid);
    FUZZ_CHECK(item.ownerAid == before.ownerAid);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    Bytes blob = input.ConsumeBytes<uint8_t>(ItemDataSize);
    blob.resize(ItemDataSize, 0);
    uint8_t options = input.ConsumeIntegral<uint8_t>();
    SerializeArgs args;
    args.value = input.ConsumeIntegral<uint32_t>();
    args.hasTail = options & 1;
    args.hasHead = options & 2;
    args.tail = static_cast<uint16_t>(args.value * 7 + 1);
    args.head = static_cast<uint16_t>(args.value >> 16);
    std::string rest = input.ConsumeRemainingBytesAsString();
    std::unique_ptr<char[]> text = ExactCopy(rest.c_str(), rest.size() + 1);

    // On the heap, so a read past the whole record is an ASan report.
    std::unique_ptr<Item> item(new Item());
    FillAroundBlob(*item);
    memcpy(item->GetData(), blob.data(), ItemDataSize);

    CheckWriters(*item, args);
    FUZZ_CHECK(memcmp(item->GetData(), blob.data(), ItemDataSize) == 0);   // writers only read

    FillAroundBlob(*item);
    CheckSetName(*item, text.get());
    CheckWriters(*item, args);
    return 0;
}
