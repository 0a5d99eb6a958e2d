#pragma once

// Little-endian integers in byte strings, field by field, whatever the host's order
// and the buffer's alignment.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

inline void putLe16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(v >> 8));
}

inline void putLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
}

inline void putLe64(std::string& out, uint64_t v) {
    putLe32(out, static_cast<uint32_t>(v));
    putLe32(out, static_cast<uint32_t>(v >> 32));
}

inline void putLe16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v & 0xff);
    p[1] = static_cast<unsigned char>(v >> 8);
}

inline void putLe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xff);
    }
}

inline uint16_t getLe16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t getLe32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint64_t getLe64(const unsigned char* p) {
    return getLe32(p) | uint64_t{getLe32(p + 4)} << 32;
}

// The value at `at`; the caller makes sure the bytes are there.
inline uint32_t getLe32(const std::string& in, size_t at) {
    return getLe32(reinterpret_cast<const unsigned char*>(in.data()) + at);
}

inline uint64_t getLe64(const std::string& in, size_t at) {
    return getLe64(reinterpret_cast<const unsigned char*>(in.data()) + at);
}

} // namespace platform
