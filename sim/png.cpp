// PNG writing without a library: the simulated device must save frames on the ARM build too.
#include "png.h"

#include <stdlib.h>

namespace zolsim {

namespace {

// Deflate writes bits from the least significant end of each byte.
class BitWriter {
public:
    explicit BitWriter(std::vector<unsigned char> &out) : out_(out) {}
    void Bits(uint32_t v, unsigned n) {
        for (unsigned i = 0; i < n; i++) Bit((v >> i) & 1u);
    }
    // Huffman codes go most significant bit first.
    void Code(uint32_t code, unsigned n) {
        for (unsigned i = n; i-- > 0;) Bit((code >> i) & 1u);
    }
    void Flush() {
        if (used_ != 0) out_.push_back(acc_);
        acc_ = 0;
        used_ = 0;
    }

private:
    void Bit(uint32_t b) {
        acc_ = (unsigned char)(acc_ | (b << used_));
        if (++used_ == 8) Flush();
    }
    std::vector<unsigned char> &out_;
    unsigned char acc_ = 0;
    unsigned used_ = 0;
};

// The fixed literal/length code.
void Symbol(BitWriter &w, unsigned sym) {
    if (sym < 144)
        w.Code(0x30 + sym, 8);
    else if (sym < 256)
        w.Code(0x190 + (sym - 144), 9);
    else if (sym < 280)
        w.Code(sym - 256, 7);
    else
        w.Code(0xc0 + (sym - 280), 8);
}

constexpr unsigned kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr unsigned kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr unsigned kDistBase[8] = {1, 2, 3, 4, 5, 7, 9, 13};
constexpr unsigned kDistExtra[8] = {0, 0, 0, 0, 1, 1, 2, 2};
constexpr unsigned kMaxMatch = 258;

void Match(BitWriter &w, unsigned len, unsigned dist) {
    unsigned i = 28;
    while (kLenBase[i] > len) i--;
    Symbol(w, 257 + i);
    w.Bits(len - kLenBase[i], kLenExtra[i]);
    unsigned d = 7;
    while (kDistBase[d] > dist) d--;
    w.Code(d, 5);
    w.Bits(dist - kDistBase[d], kDistExtra[d]);
}

size_t MatchLength(const unsigned char *p, size_t n, size_t i, unsigned dist) {
    if (i < dist) return 0;
    size_t len = 0;
    while (i + len < n && len < kMaxMatch && p[i + len] == p[i + len - dist]) len++;
    return len;
}

// The filter that leaves the smaller sum of magnitudes: none (0) or the left neighbour (1).
void FilterRow(const unsigned char *row, size_t len, std::vector<unsigned char> &out) {
    unsigned long sumNone = 0, sumSub = 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char sub = (unsigned char)(row[i] - (i >= 3 ? row[i - 3] : 0));
        sumNone += row[i] < 128 ? row[i] : 256 - row[i];
        sumSub += sub < 128 ? sub : 256 - sub;
    }
    const bool useSub = sumSub < sumNone;
    out.push_back(useSub ? 1 : 0);
    for (size_t i = 0; i < len; i++)
        out.push_back(useSub ? (unsigned char)(row[i] - (i >= 3 ? row[i - 3] : 0)) : row[i]);
}

void Chunk(std::vector<unsigned char> &png, const char *type, const std::vector<unsigned char> &data) {
    const uint32_t len = (uint32_t)data.size();
    for (int s = 24; s >= 0; s -= 8) png.push_back((unsigned char)(len >> s));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    const uint32_t crc = Crc32(png.data() + start, png.size() - start);
    for (int s = 24; s >= 0; s -= 8) png.push_back((unsigned char)(crc >> s));
}

void Put32(std::vector<unsigned char> &v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) v.push_back((unsigned char)(x >> s));
}

}  // namespace

uint32_t Crc32(const unsigned char *p, size_t n, uint32_t crc) {
    static uint32_t table[256];
    static bool built = [] {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = (c & 1u) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        return true;
    }();
    (void)built;
    crc = ~crc;
    for (size_t i = 0; i < n; i++) crc = table[(crc ^ p[i]) & 0xffu] ^ (crc >> 8);
    return ~crc;
}

uint32_t Adler32(const unsigned char *p, size_t n) {
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < n; i++) {
        a = (a + p[i]) % 65521u;
        b = (b + a) % 65521u;
    }
    return (b << 16) | a;
}

std::vector<unsigned char> ZlibCompress(const unsigned char *p, size_t n) {
    std::vector<unsigned char> out = {0x78, 0x01};
    BitWriter w(out);
    w.Bits(1, 1);  // the final block
    w.Bits(1, 2);  // fixed Huffman codes
    for (size_t i = 0; i < n;) {
        // Runs of one byte, or of one RGB pixel.
        const size_t byteRun = MatchLength(p, n, i, 1);
        const size_t pixelRun = MatchLength(p, n, i, 3);
        const unsigned dist = pixelRun > byteRun ? 3 : 1;
        const size_t len = pixelRun > byteRun ? pixelRun : byteRun;
        if (len >= 3) {
            Match(w, (unsigned)len, dist);
            i += len;
        } else {
            Symbol(w, p[i]);
            i++;
        }
    }
    Symbol(w, 256);
    w.Flush();
    Put32(out, Adler32(p, n));
    return out;
}

std::vector<unsigned char> EncodePng(const unsigned char *pucRGB, unsigned uiWidth, unsigned uiHeight) {
    const size_t rowLen = (size_t)uiWidth * 3;
    std::vector<unsigned char> raw;
    raw.reserve((rowLen + 1) * uiHeight);
    for (unsigned y = 0; y < uiHeight; y++) FilterRow(pucRGB + rowLen * y, rowLen, raw);

    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<unsigned char> png(kSignature, kSignature + 8);
    std::vector<unsigned char> ihdr;
    Put32(ihdr, uiWidth);
    Put32(ihdr, uiHeight);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, deflate, adaptive filters, no interlace
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", ZlibCompress(raw.data(), raw.size()));
    Chunk(png, "IEND", {});
    return png;
}

}  // namespace zolsim
