// Writes sample images with the simulated device's PNG writer, each beside its raw RGB bytes, so
// that an independent decoder can check them: png_samples DIR.
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "zolsim/control.h"

namespace {

bool WriteRaw(const std::string &path, const std::vector<unsigned char> &rgb) {
    std::unique_ptr<FILE, int (*)(FILE *)> f(fopen(path.c_str(), "wb"), fclose);
    return f != nullptr && fwrite(rgb.data(), 1, rgb.size(), f.get()) == rgb.size();
}

bool Sample(const std::string &dir, const char *name, unsigned w, unsigned h, std::vector<unsigned char> rgb) {
    const std::string base = dir + "/" + name;
    if (zolsim_write_png((base + ".png").c_str(), rgb.data(), w, h) != 0) return false;
    return WriteRaw(base + ".rgb", rgb);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: png_samples DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;

    // A flat screen-sized frame: runs all the way.
    ok = ok && Sample(dir, "flat", 800, 480, std::vector<unsigned char>(800 * 480 * 3, 0x40));
    // Horizontal and vertical gradients, stripes of one pixel, a single pixel, an odd width.
    std::vector<unsigned char> grad(257 * 31 * 3);
    for (unsigned y = 0; y < 31; y++)
        for (unsigned x = 0; x < 257; x++) {
            unsigned char *p = &grad[(y * 257 + x) * 3];
            p[0] = (unsigned char)x;
            p[1] = (unsigned char)(y * 8);
            p[2] = (unsigned char)((x + y) / 2);
        }
    ok = ok && Sample(dir, "gradient", 257, 31, grad);
    std::vector<unsigned char> stripes(64 * 9 * 3);
    for (size_t i = 0; i < stripes.size(); i++) stripes[i] = (i / 3) % 2 ? 0xff : 0x00;
    ok = ok && Sample(dir, "stripes", 64, 9, stripes);
    ok = ok && Sample(dir, "pixel", 1, 1, {1, 2, 3});
    // Noise: mostly literals, with the odd accidental run.
    std::vector<unsigned char> noise(33 * 17 * 3);
    unsigned v = 12345;
    for (unsigned char &c : noise) {
        v = v * 1103515245u + 12345u;
        c = (unsigned char)(v >> 16);
    }
    ok = ok && Sample(dir, "noise", 33, 17, noise);
    return ok ? 0 : 1;
}
