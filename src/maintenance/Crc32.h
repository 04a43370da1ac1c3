#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// CRC-32 as zlib computes it (reflected, polynomial 0xEDB88320). Plain C++ on purpose: the emulated unit in the
// libftdi stand-in computes the image CRC of its boot banner with it, outside any Qt program.
inline uint32_t crc32Ieee(const void *data, size_t size)
{
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    const auto *bytes = static_cast<const unsigned char *>(data);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// The CRC a unit reports for the image in its flash: the bytes before the configuration record, without the erased
// (0xFF) tail, since the image's length is not stored anywhere.
inline uint32_t flashImageCrc(const void *flash, size_t size, size_t recordAddress)
{
    const auto *bytes = static_cast<const unsigned char *>(flash);
    size_t end = size < recordAddress ? size : recordAddress;
    while (end > 0 && bytes[end - 1] == 0xFF)
        --end;
    return crc32Ieee(flash, end);
}
