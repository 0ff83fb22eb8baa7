#include "strutil/json.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace {

void escape(std::string& out, const std::string& text) {
    out += '"';
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char buffer[8];
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            default:
                break;
        }
        if (c < 0x20 || c == 0x7F) {
            std::snprintf(buffer, sizeof buffer, "\\u%04X", c);
            out += buffer;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        // A UTF-8 sequence passes whole; anything else is escaped byte by byte.
        // No sequence starts with C0 or C1 (overlong) or F5 to FF (beyond
        // U+10FFFF).
        size_t length = c >= 0xF5 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && length == 3) {
            // No overlong forms, no surrogates.
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && next < 0xA0) && !(c == 0xED && next >= 0xA0);
        }
        if (valid && length == 4) {
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xF0 && next < 0x90) && !(c == 0xF4 && next >= 0x90);
        }
        if (!valid) {
            std::snprintf(buffer, sizeof buffer, "\\u%04X", c);
            out += buffer;
            continue;
        }
        out.append(text, i, length);
        i += length - 1;
    }
    out += '"';
}

constexpr std::array<uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t rotate(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void compress(std::array<uint32_t, 8>& state, const unsigned char* block) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 |
               uint32_t{block[4 * i + 2]} << 8 | uint32_t{block[4 * i + 3]};
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::array<uint32_t, 8> v = state;
    for (int i = 0; i < 64; ++i) {
        uint32_t s1 = rotate(v[4], 6) ^ rotate(v[4], 11) ^ rotate(v[4], 25);
        uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
        uint32_t t1 = v[7] + s1 + choice + kRoundConstants[i] + w[i];
        uint32_t s0 = rotate(v[0], 2) ^ rotate(v[0], 13) ^ rotate(v[0], 22);
        uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        v = {t1 + s0 + majority, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
    }
    for (int i = 0; i < 8; ++i) state[i] += v[i];
}

}  // namespace

void JsonWriter::separate() {
    if (need_comma_) text_ += ',';
    need_comma_ = true;
}

JsonWriter& JsonWriter::begin_object() {
    separate();
    text_ += '{';
    need_comma_ = false;
    return *this;
}

JsonWriter& JsonWriter::end_object() {
    text_ += '}';
    need_comma_ = true;
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    separate();
    text_ += '[';
    need_comma_ = false;
    return *this;
}

JsonWriter& JsonWriter::end_array() {
    text_ += ']';
    need_comma_ = true;
    return *this;
}

JsonWriter& JsonWriter::key(const std::string& name) {
    separate();
    escape(text_, name);
    text_ += ':';
    need_comma_ = false;
    return *this;
}

JsonWriter& JsonWriter::string(const std::string& value) {
    separate();
    escape(text_, value);
    return *this;
}

JsonWriter& JsonWriter::number(long long value) {
    separate();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::number(double value, int digits) {
    separate();
    if (!std::isfinite(value)) {
        text_ += "null";
        return *this;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
    std::string text = buffer;
    if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.') text.pop_back();
    }
    if (text == "-0") text = "0";
    text_ += text;
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    separate();
    text_ += value ? "true" : "false";
    return *this;
}

std::string sha256_hex(const void* data, size_t length) {
    std::array<uint32_t, 8> state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t done = 0;
    for (; length - done >= 64; done += 64) compress(state, bytes + done);
    // The last block(s): the rest, a 1 bit, zeros, and the length in bits.
    unsigned char tail[128] = {};
    size_t rest = length - done;
    for (size_t i = 0; i < rest; ++i) tail[i] = bytes[done + i];
    tail[rest] = 0x80;
    size_t blocks = rest + 9 <= 64 ? 1 : 2;
    uint64_t bits = static_cast<uint64_t>(length) * 8;
    for (int i = 0; i < 8; ++i)
        tail[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    for (size_t b = 0; b < blocks; ++b) compress(state, tail + 64 * b);
    std::string hex;
    char buffer[9];
    for (uint32_t word : state) {
        std::snprintf(buffer, sizeof buffer, "%08x", word);
        hex += buffer;
    }
    return hex;
}
