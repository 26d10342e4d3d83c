// quorvane-icon-png: writes the application's icon (resource 128) as PNG files for the desktop's
// icon theme, one per size: OUTDIR/<n>x<n>/apps/quorvane.png.
//
// The picture is 32 x 32 pixel art. Each output pixel is the area-weighted average of the source
// pixels it covers (alpha-premultiplied), so whole multiples stay crisp and 16 x 16 averages
// 2 x 2 blocks. Qt reads the XPM and writes the PNG, as the window reads the same resource.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <QDir>
#include <QImage>
#include <QString>

#include "res/icon.h"

namespace {

// Blown up by whole pixels to at least the size (the same picture, each pixel now a block), then
// averaged down by the area each output pixel covers. Qt averages premultiplied 8-bit pixels, so
// the colour of a nearly transparent pixel may be a few steps off exact arithmetic's.
QImage Render(const QImage& source, int size) {
    const int whole = (size + source.width() - 1) / source.width();
    QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (whole > 1) {
        image = image.scaled(source.width() * whole, source.height() * whole, Qt::IgnoreAspectRatio,
                             Qt::FastTransformation);
    }
    if (image.width() != size) {
        image = image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    return image.convertToFormat(QImage::Format_ARGB32);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: quorvane-icon-png OUTDIR SIZE...\n");
        return 64;
    }
    const char* const* xpm = FindIconXpm(kIdrMainFrame);
    const QImage source = xpm != nullptr ? QImage(xpm) : QImage();
    if (source.isNull() || source.width() != source.height()) {
        std::fprintf(stderr, "quorvane-icon-png: icon %u: %s\n", unsigned(kIdrMainFrame),
                     xpm == nullptr ? "not in the table" : "not a square XPM picture");
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
        if (!QDir().mkpath(QString::fromStdString(folder)) ||
            !Render(source, int(size)).save(QString::fromStdString(path), "PNG")) {
            std::fprintf(stderr, "quorvane-icon-png: cannot write %s\n", path.c_str());
            return 73;
        }
    }
    return 0;
}
