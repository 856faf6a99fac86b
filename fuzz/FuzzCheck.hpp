#pragma once

// What every fuzz target shares: a property check that stops the run with a
// message (libFuzzer then keeps the input as a crash), and small helpers to
// cut the fuzzer's bytes into the pieces a target needs.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tracker::fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* condition, const std::string& detail) {
    std::fprintf(stderr, "%s:%d: property violated: %s\n%s\n", file, line, condition, detail.c_str());
    std::abort();
}

// The bytes as a C++ literal, for the failure message.
inline std::string literal(std::string_view bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        }
    }
    return out + "\"";
}

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
inline bool validUTF8(std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        auto b = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
        unsigned char lead = b(at);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead < 0x80) {
            ++at;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (at + length > bytes.size()) return false;
        if (b(at + 1) < low || b(at + 1) > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if (b(at + k) < 0x80 || b(at + k) > 0xBF) return false;
        }
        at += length;
    }
    return true;
}

}  // namespace tracker::fuzz

#define FUZZ_CHECK(condition, detail)                                                      \
    do {                                                                                   \
        if (!(condition)) ::tracker::fuzz::fail(__FILE__, __LINE__, #condition, (detail)); \
    } while (0)
