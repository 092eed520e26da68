#pragma once

// Shared bits of the fuzz targets: a check that stops the run (libFuzzer keeps
// the input as a crash), exactly-sized heap copies so that ASan sees every
// byte outside the caller's room, and a quiet console.

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// A broken contract that the sanitizers cannot see (a wrong result, a byte
// changed that must not change). Aborting makes libFuzzer save the input.
#define FUZZ_CHECK(condition)                                                        \
    do {                                                                             \
        if (!(condition)) {                                                          \
            fprintf(stderr, "fuzz check failed: %s at %s:%d\n", #condition, __FILE__, \
                    __LINE__);                                                       \
            abort();                                                                 \
        }                                                                            \
    } while (0)

// A heap block of exactly size bytes: a read or write one byte past it is an
// ASan report. new[] of 0 bytes still gives a distinct, unusable block.
template <typename T = char>
std::unique_ptr<T[]> ExactBuffer(size_t size)
{
    return std::unique_ptr<T[]>(new T[size]);
}

// One value on the heap, for a getter's output of that exact width.
template <typename T>
std::unique_ptr<T> ExactValue()
{
    return std::unique_ptr<T>(new T());
}

template <typename T = char>
std::unique_ptr<T[]> ExactCopy(const void* data, size_t size)
{
    std::unique_ptr<T[]> copy = ExactBuffer<T>(size);
    if (size > 0)
        memcpy(copy.get(), data, size);
    return copy;
}

// The code under test reports on stdout ("Bad format in ..."); millions of
// runs of that only slow the fuzzer down. LS_FUZZ_VERBOSE=1 keeps it, for
// looking at one reproducer.
inline void QuietConsole()
{
    const char* verbose = getenv("LS_FUZZ_VERBOSE");
    if (verbose && *verbose && strcmp(verbose, "0") != 0)
        return;
    if (!freopen("/dev/null", "w", stdout))
        perror("freopen /dev/null");
}

// Reference conversions from the C library, for differential checks: the
// server's numbers must read exactly as 32-bit strtol/strtoul would read them.
// Call them only with the "C" locale (the fuzzers never set another).
inline int32_t ReferenceDecimal(const char* text)
{
    // 64-bit strtol saturates only at 64 bits; a 32-bit one at 32 bits.
    long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

inline uint32_t ReferenceHex(const char* text)
{
    errno = 0;
    unsigned long value = strtoul(text, nullptr, 16);
    if (errno == ERANGE)
        return 0xFFFFFFFFu;
    // strtoul negates a leading '-' in its own width; undo that to get the
    // magnitude, which a 32-bit strtoul saturates above 32 bits.
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = *p == '-';
    unsigned long magnitude = negative ? 0ul - value : value;
    if (magnitude > 0xFFFFFFFFul)
        return 0xFFFFFFFFu;
    uint32_t low = static_cast<uint32_t>(magnitude);
    return negative ? 0u - low : low;
}
