// Random machines for the property tests and the whole-run fuzz target: a
// system of either family with the package INF (prefixes, duplicates, bad
// lines), an "Enum" tree with "Driver" values (hostile ones included),
// present devices of the package class, the disk class and others, package
// and system files, the storage driver's service keys and INF, and drive
// icon keys.
//
// Every decision is drawn from a Choices source: a seeded generator for the
// property tests, the fuzzer's bytes for the fuzz target (choice 0, which an
// exhausted input gives, is always the ordinary case).
#pragma once

#include "platform/sim/sim.h"

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace support {

class Choices {
public:
    virtual ~Choices() = default;
    virtual uint32_t Below(uint32_t n) = 0;  // 0 .. n-1 (n > 0)
    virtual std::string Bytes(size_t maxLength) = 0;  // any bytes, at most maxLength
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    template <typename T, size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(static_cast<uint32_t>(N))];
    }
};

class SeededChoices final : public Choices {
public:
    explicit SeededChoices(uint64_t seed) : rng_(seed) {}
    uint32_t Below(uint32_t n) override { return static_cast<uint32_t>(rng_() % n); }
    std::string Bytes(size_t maxLength) override;

private:
    std::mt19937_64 rng_;
};

class ByteChoices final : public Choices {
public:
    ByteChoices(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint32_t Below(uint32_t n) override;
    std::string Bytes(size_t maxLength) override;

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A random machine whose ANSI code page is `codePage` (its names and texts
// drawn in it).
sim::Machine RandomMachine(Choices& c, unsigned codePage = sim::kDefaultCodePage);

// A platform call made to fail: one of the simulated functions the program
// calls, at its call number 1 to `maxNth`, once or from then on, with an
// error Windows gives for it (or a short read or write).
sim::Fault RandomFault(Choices& c, unsigned maxNth);

}  // namespace support
