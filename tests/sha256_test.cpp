#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "sha256.h"

namespace {

std::string ToHex(const uint8_t* bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < n; i++) {
        hex.push_back(digits[bytes[i] >> 4]);
        hex.push_back(digits[bytes[i] & 15]);
    }
    return hex;
}

std::string Digest(const void* data, size_t n)
{
    uint8_t digest[32];
    Sha256(data, digest, static_cast<uint32_t>(n));
    return ToHex(digest, 32);
}

std::string Digest(const std::string& text) { return Digest(text.data(), text.size()); }

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

// The digest that the system's own sha256sum computes for the bytes.
std::string Sha256sum(const std::vector<uint8_t>& bytes)
{
    char path[] = "/tmp/sha256_test_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "mkstemp failed";
    if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        return "write failed";
    close(fd);
    std::string command = std::string("sha256sum ") + path;
    FILE* pipe = popen(command.c_str(), "r");
    char line[128] = {};
    if (pipe) {
        if (!fgets(line, sizeof(line), pipe))
            line[0] = '\0';
        pclose(pipe);
    }
    unlink(path);
    return std::string(line, strnlen(line, 64));
}

} // namespace

TEST(Sha256, Fips180Vectors)
{
    EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");

    Sha256Context ctx;
    Sha256Init(&ctx);
    std::string thousand(1000, 'a');
    for (int i = 0; i < 1000; i++)
        Sha256Update(&ctx, thousand.data(), 1000);
    uint8_t digest[32];
    Sha256Finish(&ctx, digest);
    EXPECT_EQ(ToHex(digest, 32), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(Digest(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, AgreesWithSha256sumForEveryLengthUpTo300)
{
    std::mt19937 random(20260101);
    for (size_t length = 0; length <= 300; length++) {
        std::vector<uint8_t> bytes = RandomBytes(random, length);
        ASSERT_EQ(Digest(bytes.data(), bytes.size()), Sha256sum(bytes)) << "length " << length;
    }
}

TEST(Sha256, PiecesAndAlignmentDoNotChangeTheDigest)
{
    std::mt19937 random(7);
    std::vector<uint8_t> bytes = RandomBytes(random, 700);
    std::string whole = Digest(bytes.data(), bytes.size());

    const uint32_t pieceSizes[] = {1, 63, 64, 65, 3, 128, 0, 200};
    for (uint32_t first : pieceSizes) {
        Sha256Context ctx;
        Sha256Init(&ctx);
        size_t at = 0;
        for (size_t step = 0; at < bytes.size(); step++) {
            uint32_t size = step % 2 ? first : static_cast<uint32_t>(random() % 130);
            size = static_cast<uint32_t>(std::min<size_t>(size, bytes.size() - at));
            Sha256Update(&ctx, bytes.data() + at, size);
            at += size;
        }
        uint8_t digest[32];
        Sha256Finish(&ctx, digest);
        EXPECT_EQ(ToHex(digest, 32), whole) << "pieces of " << first;
    }

    // Input at an odd address, straight into the compression step too.
    std::vector<uint8_t> shifted(bytes.size() + 1);
    memcpy(shifted.data() + 1, bytes.data(), bytes.size());
    EXPECT_EQ(Digest(shifted.data() + 1, bytes.size()), whole);
}

TEST(Sha256, ZeroLengthUpdateLeavesTheContextAlone)
{
    Sha256Context ctx;
    Sha256Init(&ctx);
    Sha256Update(&ctx, "0123456789", 10);
    Sha256Context before;
    memcpy(&before, &ctx, sizeof(ctx));
    Sha256Update(&ctx, "ignored", 0);
    EXPECT_EQ(0, memcmp(&before, &ctx, sizeof(ctx)));
}

TEST(Sha256, ByteCountCarriesIntoTheHighWord)
{
    Sha256Context ctx;
    Sha256Init(&ctx);
    ctx.total[0] = 0xFFFFFFF0;
    uint8_t data[32] = {};
    Sha256Update(&ctx, data, 32);
    EXPECT_EQ(ctx.total[0], 0x10u);
    EXPECT_EQ(ctx.total[1], 1u);
}

TEST(Sha256DebugAids, OneBlockDigestOfAbc)
{
    EXPECT_EQ(AddU32(0xFFFFFFFFu, 2), 1u);
    EXPECT_EQ(AddU32(0x0000FFFFu, 0x00010001u), 0x00020000u);

    testing::internal::CaptureStdout();
    uint32_t* words = PackBigEndianWords("abc");
    DebugSha256(words, 24);
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.substr(0, 21), "61626300 0\n61626300 0");
    EXPECT_NE(output.find("\n61626380 0 l=24\n"), std::string::npos);
    EXPECT_EQ(output.substr(output.rfind('\n') + 1),
              "BA7816BF 8F01CFEA 414140DE 5DAE2223 B00361A3 96177A9C B410FF61 F20015AD ");

    // A message too long for one block leaves the caller's words alone.
    uint32_t before[16];
    memcpy(before, words, sizeof(before));
    testing::internal::CaptureStdout();
    DebugSha256(words, 448);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, memcmp(before, words, sizeof(before)));
    delete[] words;

    testing::internal::CaptureStdout();
    words = PackBigEndianWords(std::string(100, 'z').c_str());   // only 64 bytes fit
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(words[15], 0x7A7A7A7Au);
    delete[] words;
}
