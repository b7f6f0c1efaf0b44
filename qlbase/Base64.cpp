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

size_t Base64Encode(const void* data, size_t length, char* out) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    char* o = out;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (length - i == 1) {
        unsigned v = p[i] << 16;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (length - i == 2) {
        unsigned v = (p[i] << 16) | (p[i + 1] << 8);
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    return size_t(o - out);
}

string Base64Encode(const void* data, size_t length) {
    std::string out(Base64Length(length), '\0');
    out.resize(Base64Encode(data, length, out.empty() ? nullptr : &out[0]));
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
