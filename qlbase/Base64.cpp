#include "qlbase.h"

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int DecodeChar(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

string Base64Encode(const void* data, size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (length - i == 1) {
        unsigned v = p[i] << 16;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (length - i == 2) {
        unsigned v = (p[i] << 16) | (p[i + 1] << 8);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return string(std::move(out));
}

string Base64Encode(const vec<unsigned char>& data) { return Base64Encode(data.Data(), data.Count()); }

bool Base64Decode(vec<unsigned char>* out, const char* text) {
    if (!out) return false;
    out->Clear();
    if (!text) return true;
    size_t n = std::strlen(text);
    if (n % 4 != 0) return false;
    out->Reserve(n / 4 * 3);
    for (size_t i = 0; i < n; i += 4) {
        int c[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            unsigned char ch = static_cast<unsigned char>(text[i + k]);
            if (ch == '=') {
                // Padding only in the last group, only in its last two places, and only at the end.
                if (i + 4 != n || k < 2) return false;
                ++pad;
                c[k] = 0;
            } else {
                if (pad) return false;
                c[k] = DecodeChar(ch);
                if (c[k] < 0) return false;
            }
        }
        unsigned v = (c[0] << 18) | (c[1] << 12) | (c[2] << 6) | c[3];
        out->Add(static_cast<unsigned char>(v >> 16));
        if (pad < 2) out->Add(static_cast<unsigned char>(v >> 8));
        if (pad < 1) out->Add(static_cast<unsigned char>(v));
    }
    return true;
}
