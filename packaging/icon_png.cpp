// quorvane-icon-png: writes the application's icon (resource 128) as PNG files for the desktop's
// icon theme, one per size: OUTDIR/<n>x<n>/apps/quorvane.png.
//
// The picture is 32 x 32 pixel art. Each output pixel is the area-weighted average of the source
// pixels it covers (alpha-premultiplied), so whole multiples stay crisp and 16 x 16 averages
// 2 x 2 blocks. Only zlib is needed at build time, no toolkit.

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "res/icon.h"

namespace {

struct Rgba {
    uint8_t r = 0, g = 0, b = 0, a = 0;
};

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<Rgba> pixels;
};

bool ParseHexColour(const std::string& text, Rgba* colour) {
    if (text.size() != 7 || text[0] != '#') return false;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str() + 1, &end, 16);
    if (*end != '\0') return false;
    *colour = Rgba{uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value), 255};
    return true;
}

// The XPM subset the resource table uses: a header, "<key> c <#rrggbb|None>" palette lines and
// one row per line.
bool ParseXpm(const char* const* xpm, Picture* picture, std::string* error) {
    int colours = 0;
    int perPixel = 0;
    if (std::sscanf(xpm[0], "%d %d %d %d", &picture->width, &picture->height, &colours,
                    &perPixel) != 4 ||
        picture->width <= 0 || picture->height <= 0 || colours <= 0 || perPixel <= 0) {
        *error = "bad XPM header";
        return false;
    }
    std::map<std::string, Rgba> palette;
    for (int i = 0; i < colours; ++i) {
        const std::string line = xpm[1 + i];
        if (line.size() < size_t(perPixel) + 3) {
            *error = "short palette line";
            return false;
        }
        const std::string key = line.substr(0, size_t(perPixel));
        std::istringstream rest(line.substr(size_t(perPixel)));
        std::string kind, value;
        rest >> kind >> value;
        Rgba colour;
        if (kind != "c" || (value != "None" && !ParseHexColour(value, &colour))) {
            *error = "unsupported palette line: " + line;
            return false;
        }
        palette[key] = colour;
    }
    for (int y = 0; y < picture->height; ++y) {
        const std::string row = xpm[1 + colours + y];
        if (row.size() != size_t(picture->width * perPixel)) {
            *error = "row " + std::to_string(y) + " has the wrong length";
            return false;
        }
        for (int x = 0; x < picture->width; ++x) {
            const auto found = palette.find(row.substr(size_t(x * perPixel), size_t(perPixel)));
            if (found == palette.end()) {
                *error = "row " + std::to_string(y) + " uses a colour not in the palette";
                return false;
            }
            picture->pixels.push_back(found->second);
        }
    }
    return true;
}

// How much of source cell `i` (of `from`) the output cell `o` (of `to`) covers, in output units.
double Overlap(int o, int to, int i, int from) {
    const double start = double(o) * from / to;
    const double end = double(o + 1) * from / to;
    const double low = start > i ? start : i;
    const double high = end < i + 1 ? end : i + 1;
    return high > low ? (high - low) * to / from : 0.0;
}

Picture Resample(const Picture& source, int size) {
    Picture out;
    out.width = out.height = size;
    out.pixels.resize(size_t(size) * size_t(size));
    for (int oy = 0; oy < size; ++oy) {
        for (int ox = 0; ox < size; ++ox) {
            double r = 0, g = 0, b = 0, a = 0;
            for (int sy = 0; sy < source.height; ++sy) {
                const double wy = Overlap(oy, size, sy, source.height);
                if (wy == 0) continue;
                for (int sx = 0; sx < source.width; ++sx) {
                    const double w = wy * Overlap(ox, size, sx, source.width);
                    if (w == 0) continue;
                    const Rgba& p = source.pixels[size_t(sy * source.width + sx)];
                    const double alpha = p.a / 255.0 * w;
                    r += p.r * alpha;
                    g += p.g * alpha;
                    b += p.b * alpha;
                    a += alpha;
                }
            }
            Rgba& q = out.pixels[size_t(oy * size + ox)];
            if (a > 0) {
                q = Rgba{uint8_t(r / a + 0.5), uint8_t(g / a + 0.5), uint8_t(b / a + 0.5),
                         uint8_t(a * 255 + 0.5)};
            }
        }
    }
    return out;
}

void PutBig32(std::vector<uint8_t>* out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out->push_back(uint8_t(value >> shift));
}

void Chunk(std::vector<uint8_t>* png, const char type[5], const std::vector<uint8_t>& data) {
    PutBig32(png, uint32_t(data.size()));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png->insert(png->end(), body.begin(), body.end());
    PutBig32(png, uint32_t(crc32(0, body.data(), uInt(body.size()))));
}

// Non-interlaced 8-bit RGBA, no row filters (flat pixel art compresses well without them).
std::vector<uint8_t> EncodePng(const Picture& picture) {
    std::vector<uint8_t> raw;
    for (int y = 0; y < picture.height; ++y) {
        raw.push_back(0);  // filter: none
        for (int x = 0; x < picture.width; ++x) {
            const Rgba& p = picture.pixels[size_t(y * picture.width + x)];
            raw.insert(raw.end(), {p.r, p.g, p.b, p.a});
        }
    }
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), uLong(raw.size()), 9) != Z_OK) return {};
    packed.resize(packedSize);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    PutBig32(&header, uint32_t(picture.width));
    PutBig32(&header, uint32_t(picture.height));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, filter 0, no interlace
    Chunk(&png, "IHDR", header);
    Chunk(&png, "IDAT", packed);
    Chunk(&png, "IEND", {});
    return png;
}

bool MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: quorvane-icon-png OUTDIR SIZE...\n");
        return 64;
    }
    const char* const* xpm = FindIconXpm(kIdrMainFrame);
    Picture source;
    std::string error;
    if (xpm == nullptr || !ParseXpm(xpm, &source, &error)) {
        std::fprintf(stderr, "quorvane-icon-png: icon %u: %s\n", unsigned(kIdrMainFrame),
                     xpm == nullptr ? "not in the table" : error.c_str());
        return 65;
    }
    for (int i = 2; i < argc; ++i) {
        char* end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (*end != '\0' || size < 1 || size > 1024) {
            std::fprintf(stderr, "quorvane-icon-png: a size is 1 to 1024 pixels, not '%s'\n",
                         argv[i]);
            return 64;
        }
        const std::string folder = std::string(argv[1]) + "/" + argv[i] + "x" + argv[i] + "/apps";
        const std::string path = folder + "/quorvane.png";
        const std::vector<uint8_t> png = EncodePng(Resample(source, int(size)));
        if (png.empty()) {
            std::fprintf(stderr, "quorvane-icon-png: cannot compress the %ld-pixel icon\n", size);
            return 70;
        }
        if (!MakeFolders(folder) || !WriteFile(path, png)) {
            std::fprintf(stderr, "quorvane-icon-png: cannot write %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return 73;
        }
    }
    return 0;
}
