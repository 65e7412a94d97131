#include "ui/controls/control_resources.h"

#include <QFile>
#include <QImageReader>
#include <QPixmap>

#include <cstdint>

// The resources live in a static library; nothing references its registration object, so the linker
// would drop it unless it is initialised by name. The macro must be used outside any namespace.
static void InitControlResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    (void)done;
}

namespace signposter::ui {
namespace {

QByteArray ReadResource(const QString& name) {
    InitControlResources();
    QFile file(QStringLiteral(":/") + name.toUpper());
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

// Little-endian fields of a file image; a field that would run past the end reads as 0, so a damaged
// file can never be read out of bounds.
std::uint16_t Le16(const QByteArray& bytes, qsizetype at) {
    if (at < 0 || at + 2 > bytes.size()) {
        return 0;
    }
    return std::uint16_t(quint8(bytes.at(at)) | quint8(bytes.at(at + 1)) << 8);
}
std::uint32_t Le32(const QByteArray& bytes, qsizetype at) {
    return std::uint32_t(Le16(bytes, at)) | std::uint32_t(Le16(bytes, at + 2)) << 16;
}

// Decodes the first image of a monochrome cursor file (AND and XOR masks); Qt's readers do not report a
// cursor's hot spot, so the file is read here. Returns an empty image for anything else.
QImage DecodeMonochromeCursor(const QByteArray& bytes, QPoint& hotSpot) {
    if (bytes.size() < 6 + 16 + 40 || Le16(bytes, 0) != 0 || Le16(bytes, 2) != 2 || Le16(bytes, 4) < 1) {
        return {};
    }
    hotSpot = QPoint(Le16(bytes, 6 + 4), Le16(bytes, 6 + 6));
    const std::uint32_t offset = Le32(bytes, 6 + 12);
    if (offset > std::uint32_t(bytes.size()) || bytes.size() - qsizetype(offset) < 40) {
        return {};
    }
    const int width = int(Le32(bytes, offset + 4));
    const int height = int(Le32(bytes, offset + 8)) / 2;  // the two masks are stacked
    const int bits = Le16(bytes, offset + 14);
    if (bits != 1 || width <= 0 || width > 256 || height <= 0 || height > 256) {
        return {};
    }
    const qsizetype stride = ((width + 31) / 32) * 4;
    const qsizetype xorAt = offset + Le32(bytes, offset) + 2 * 4;
    const qsizetype andAt = xorAt + stride * height;
    if (andAt + stride * height > bytes.size()) {
        return {};
    }
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        const int row = height - 1 - y;  // stored bottom-up
        for (int x = 0; x < width; ++x) {
            const int bit = 0x80 >> (x % 8);
            const bool transparent = quint8(bytes.at(andAt + row * stride + x / 8)) & bit;
            const bool white = quint8(bytes.at(xorAt + row * stride + x / 8)) & bit;
            image.setPixel(x, y, transparent ? 0u : (white ? 0xFFFFFFFFu : 0xFF000000u));
        }
    }
    return image;
}

}  // namespace

QImage LoadBitmapResource(const QString& name) {
    const QByteArray bytes = ReadResource(name);
    if (bytes.isEmpty()) {
        return {};
    }
    return QImage::fromData(bytes, "BMP");
}

QImage WithBottomLeftTransparent(const QImage& image) {
    if (image.isNull()) {
        return image;
    }
    const QRgb key = image.pixel(0, image.height() - 1);
    QImage result = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < result.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < result.width(); ++x) {
            if ((line[x] | 0xFF000000u) == (key | 0xFF000000u)) {
                line[x] = 0;
            }
        }
    }
    return result;
}

QImage LoadTransparentBitmap(const QString& name) {
    return WithBottomLeftTransparent(LoadBitmapResource(name));
}

QImage MarbleTexture() {
    return LoadBitmapResource(QStringLiteral("MARBLE"));
}

QIcon MainIcon() {
    InitControlResources();
    return QIcon(QStringLiteral(":/MAINICON"));
}

QCursor HandCursor() {
    QPoint hotSpot;
    const QImage image = DecodeMonochromeCursor(ReadResource(QStringLiteral("HANDD")), hotSpot);
    if (image.isNull()) {
        return QCursor(Qt::PointingHandCursor);
    }
    return QCursor(QPixmap::fromImage(image), hotSpot.x(), hotSpot.y());
}

QByteArray ClickSound() {
    return ReadResource(QStringLiteral("KLIK"));
}

}  // namespace signposter::ui
