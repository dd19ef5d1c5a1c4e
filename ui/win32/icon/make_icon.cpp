// Draws Quelmar's icon, a railway track running to the horizon, and writes
// it as a Windows .ico: a 32x32 16-colour image for old displays and 48x48
// and 256x256 images with alpha. Built and run on the build machine with
// its own compiler:
//
//   g++ -std=c++20 -O2 -o make_icon ui/win32/icon/make_icon.cpp
//   ./make_icon ui/win32/quelmar.ico
//
// The .ico it writes is committed beside the window's sources.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

enum class Material { None, Sky, Ground, Sleeper, Rail, Edge };

struct Rgba {
    double r, g, b, a;
};

constexpr double kHorizon = 0.42;

bool insideRoundedSquare(double u, double v, double inset) {
    const double radius = 0.18;
    const double lo = inset + radius, hi = 1.0 - inset - radius;
    const double dx = u < lo ? lo - u : (u > hi ? u - hi : 0.0);
    const double dy = v < lo ? lo - v : (v > hi ? v - hi : 0.0);
    if (u < inset || u > 1.0 - inset || v < inset || v > 1.0 - inset) return false;
    return dx * dx + dy * dy <= radius * radius;
}

// What lies at a point of the unit square, v growing downwards.
Material materialAt(double u, double v) {
    if (!insideRoundedSquare(u, v, 0.02)) return Material::None;
    if (!insideRoundedSquare(u, v, 0.06)) return Material::Edge;
    if (v < kHorizon) return Material::Sky;
    // t: 0 at the horizon, 1 at the bottom edge (nearest to the viewer).
    const double t = (v - kHorizon) / (1.0 - kHorizon);
    for (double gauge : {-1.0, 1.0}) {
        const double centre = 0.5 + gauge * 0.27 * t;
        if (std::fabs(u - centre) <= 0.022 * t + 0.012) return Material::Rail;
    }
    // Sleepers equally spaced in depth, so ever closer on the screen.
    for (double depth : {1.0, 1.4, 1.95, 2.75, 3.9, 5.6}) {
        const double ts = 1.0 / depth;
        if (std::fabs(t - ts) <= 0.05 * ts + 0.012 && std::fabs(u - 0.5) <= 0.40 * ts) return Material::Sleeper;
    }
    return Material::Ground;
}

Rgba colourOf(Material m, double v) {
    switch (m) {
        case Material::None: return {0, 0, 0, 0};
        case Material::Edge: return {0x1b, 0x2a, 0x3a, 255};
        case Material::Sky: {
            const double k = v / kHorizon;  // dark blue above, lighter at the horizon
            return {0x1e + k * (0x6f - 0x1e), 0x4f + k * (0xa8 - 0x4f), 0x9a + k * (0xdc - 0x9a), 255};
        }
        case Material::Ground: return {0x4e, 0x7a, 0x2e, 255};
        case Material::Sleeper: return {0x7a, 0x4a, 0x21, 255};
        case Material::Rail: return {0xe4, 0xe6, 0xea, 255};
    }
    return {0, 0, 0, 0};
}

// The standard 16-colour palette; the materials take the nearest entries.
constexpr uint8_t kPalette[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                     {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                     {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                     {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

uint8_t paletteIndexOf(Material m) {
    switch (m) {
        case Material::None: return 0;
        case Material::Edge: return 0;
        case Material::Sky: return 4;
        case Material::Ground: return 2;
        case Material::Sleeper: return 1;
        case Material::Rail: return 15;
    }
    return 0;
}

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t value) {
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

size_t rowBytes(int width, int bits) { return ((static_cast<size_t>(width) * bits + 31) / 32) * 4; }

void putHeader(std::vector<uint8_t>& out, int size, int bits, size_t imageBytes) {
    put32(out, 40);
    put32(out, static_cast<uint32_t>(size));
    put32(out, static_cast<uint32_t>(size * 2));  // colour image and mask together
    put16(out, 1);
    put16(out, static_cast<uint32_t>(bits));
    put32(out, 0);
    put32(out, static_cast<uint32_t>(imageBytes));
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
}

// Rows bottom-up, as bitmaps are stored; bit set = transparent.
void putMask(std::vector<uint8_t>& out, int size, const std::vector<bool>& transparent) {
    const size_t stride = rowBytes(size, 1);
    for (int y = size - 1; y >= 0; --y) {
        std::vector<uint8_t> row(stride, 0);
        for (int x = 0; x < size; ++x)
            if (transparent[static_cast<size_t>(y * size + x)]) row[static_cast<size_t>(x / 8)] |= 0x80 >> (x % 8);
        out.insert(out.end(), row.begin(), row.end());
    }
}

std::vector<uint8_t> image16Colours(int size) {
    std::vector<uint8_t> pixels(static_cast<size_t>(size * size));
    std::vector<bool> transparent(pixels.size());
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const Material m = materialAt((x + 0.5) / size, (y + 0.5) / size);
            pixels[static_cast<size_t>(y * size + x)] = paletteIndexOf(m);
            transparent[static_cast<size_t>(y * size + x)] = m == Material::None;
        }
    std::vector<uint8_t> out;
    const size_t stride = rowBytes(size, 4);
    putHeader(out, size, 4, stride * size + rowBytes(size, 1) * size);
    for (const auto& c : kPalette) {
        out.push_back(c[2]);
        out.push_back(c[1]);
        out.push_back(c[0]);
        out.push_back(0);
    }
    for (int y = size - 1; y >= 0; --y) {
        std::vector<uint8_t> row(stride, 0);
        for (int x = 0; x < size; ++x)
            row[static_cast<size_t>(x / 2)] |=
                static_cast<uint8_t>(pixels[static_cast<size_t>(y * size + x)] << (x % 2 ? 0 : 4));
        out.insert(out.end(), row.begin(), row.end());
    }
    putMask(out, size, transparent);
    return out;
}

std::vector<uint8_t> imageTrueColour(int size) {
    constexpr int kSamples = 4;  // 4 x 4 samples a pixel smooth the edges
    std::vector<uint8_t> out;
    putHeader(out, size, 32, static_cast<size_t>(size) * size * 4 + rowBytes(size, 1) * size);
    std::vector<bool> transparent(static_cast<size_t>(size * size));
    std::vector<uint8_t> rows;
    for (int y = size - 1; y >= 0; --y)
        for (int x = 0; x < size; ++x) {
            double r = 0, g = 0, b = 0, a = 0;
            for (int sy = 0; sy < kSamples; ++sy)
                for (int sx = 0; sx < kSamples; ++sx) {
                    const double u = (x + (sx + 0.5) / kSamples) / size;
                    const double v = (y + (sy + 0.5) / kSamples) / size;
                    const Rgba c = colourOf(materialAt(u, v), v);
                    r += c.r * c.a;
                    g += c.g * c.a;
                    b += c.b * c.a;
                    a += c.a;
                }
            const auto channel = [&](double sum) {
                return static_cast<uint8_t>(a > 0 ? std::clamp(std::lround(sum / a), 0L, 255L) : 0);
            };
            rows.push_back(channel(b));
            rows.push_back(channel(g));
            rows.push_back(channel(r));
            const auto alpha = static_cast<uint8_t>(std::lround(a / (kSamples * kSamples)));
            rows.push_back(alpha);
            transparent[static_cast<size_t>(y * size + x)] = alpha == 0;
        }
    out.insert(out.end(), rows.begin(), rows.end());
    putMask(out, size, transparent);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_icon OUTPUT.ico\n";
        return 2;
    }
    struct Entry {
        int size, bits, colours;
        std::vector<uint8_t> data;
    };
    std::vector<Entry> entries;
    entries.push_back({32, 4, 16, image16Colours(32)});
    entries.push_back({48, 32, 0, imageTrueColour(48)});
    entries.push_back({256, 32, 0, imageTrueColour(256)});

    std::vector<uint8_t> file;
    put16(file, 0);
    put16(file, 1);  // icon
    put16(file, static_cast<uint32_t>(entries.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * entries.size());
    for (const Entry& e : entries) {
        file.push_back(static_cast<uint8_t>(e.size == 256 ? 0 : e.size));
        file.push_back(static_cast<uint8_t>(e.size == 256 ? 0 : e.size));
        file.push_back(static_cast<uint8_t>(e.colours));
        file.push_back(0);
        put16(file, 1);
        put16(file, static_cast<uint32_t>(e.bits));
        put32(file, static_cast<uint32_t>(e.data.size()));
        put32(file, offset);
        offset += static_cast<uint32_t>(e.data.size());
    }
    for (const Entry& e : entries) file.insert(file.end(), e.data.begin(), e.data.end());

    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    if (!out) {
        std::cerr << "make_icon: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
