// A small PNG writer for the simulated screen: 8-bit RGB, one zlib stream of fixed-Huffman
// deflate with run-length matches, so that flat frames stay small.
#ifndef ZOLSIM_PNG_H
#define ZOLSIM_PNG_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace zolsim {

uint32_t Crc32(const unsigned char *p, size_t n, uint32_t crc = 0);
uint32_t Adler32(const unsigned char *p, size_t n);
// A zlib stream of the bytes.
std::vector<unsigned char> ZlibCompress(const unsigned char *p, size_t n);
// The PNG file of width x height RGB triples, rows without padding.
std::vector<unsigned char> EncodePng(const unsigned char *pucRGB, unsigned uiWidth, unsigned uiHeight);

}  // namespace zolsim

#endif
