// The compiled-in images, cursor and click sound, and the sound layer's behaviour on bad input.
#include "ui/sound.h"
#include "ui/controls/control_resources.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstring>

namespace signposter::ui {
namespace {

TEST(ResourcesTest, CheckBoxImagesAndFolderGlyphAreSixteenColourBitmapsWithMagentaCorner) {
    struct Expected {
        const char* name;
        QSize size;
    };
    const Expected images[] = {{"Blank", {16, 16}},       {"Enabled", {16, 16}},    {"BlankFlat", {16, 16}},
                               {"EnabledFlat", {16, 16}}, {"CheckIks", {16, 16}},   {"CheckOk", {16, 16}},
                               {"CHECKELLI", {16, 16}},   {"CHECKEIKSB", {16, 16}}, {"CHECKIKSG", {16, 16}},
                               {"CHECKOKG", {16, 16}},    {"CheckOkR", {16, 16}},   {"FEDITBMP", {14, 12}}};
    for (const Expected& e : images) {
        const QImage image = LoadBitmapResource(QString::fromLatin1(e.name));
        ASSERT_FALSE(image.isNull()) << e.name;
        EXPECT_EQ(image.size(), e.size) << e.name;
        EXPECT_LE(image.colorCount(), 16) << e.name;
        EXPECT_EQ(image.pixel(0, image.height() - 1), qRgb(255, 0, 255)) << e.name;
        const QImage transparent = LoadTransparentBitmap(QString::fromLatin1(e.name));
        EXPECT_EQ(qAlpha(transparent.pixel(0, image.height() - 1)), 0) << e.name;
    }
    // Names are looked up without regard to case.
    EXPECT_EQ(LoadBitmapResource(QStringLiteral("checkoKg")), LoadBitmapResource(QStringLiteral("CHECKOKG")));
    EXPECT_TRUE(LoadBitmapResource(QStringLiteral("NoSuchImage")).isNull());
}

TEST(ResourcesTest, BoxPicturesHaveTheirFrames) {
    const QImage blank = LoadBitmapResource(QStringLiteral("Blank"));
    EXPECT_EQ(blank.pixel(1, 1), qRgb(128, 128, 128));
    EXPECT_EQ(blank.pixel(2, 2), qRgb(0, 0, 0));
    EXPECT_EQ(blank.pixel(14, 14), qRgb(255, 255, 255));
    EXPECT_EQ(blank.pixel(13, 13), qRgb(192, 192, 192));
    EXPECT_EQ(blank.pixel(7, 7), qRgb(255, 255, 255));
    EXPECT_EQ(LoadBitmapResource(QStringLiteral("Enabled")).pixel(7, 7), qRgb(255, 0, 255));
    const QImage flat = LoadBitmapResource(QStringLiteral("BlankFlat"));
    EXPECT_EQ(flat.pixel(2, 2), qRgb(128, 128, 128));
    EXPECT_EQ(flat.pixel(13, 13), qRgb(128, 128, 128));
    EXPECT_EQ(flat.pixel(7, 7), qRgb(255, 255, 255));
    EXPECT_EQ(flat.pixel(1, 1), qRgb(255, 0, 255));
}

TEST(ResourcesTest, MarbleIconAndCursor) {
    const QImage marble = MarbleTexture();
    ASSERT_EQ(marble.size(), QSize(128, 128));
    EXPECT_EQ(marble.format(), QImage::Format_Indexed8);
    EXPECT_LE(marble.colorCount(), 256);
    // Near-white lilac on the whole: blue above red and green on average, and light.
    long r = 0, g = 0, b = 0;
    for (int y = 0; y < 128; ++y) {
        for (int x = 0; x < 128; ++x) {
            const QRgb p = marble.pixel(x, y);
            r += qRed(p);
            g += qGreen(p);
            b += qBlue(p);
        }
    }
    EXPECT_GT(b, r);
    EXPECT_GT(r / (128 * 128), 220);

    const QIcon icon = MainIcon();
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.pixmap(32, 32).size(), QSize(32, 32));

    const QCursor hand = HandCursor();
    EXPECT_EQ(hand.shape(), Qt::BitmapCursor);
    EXPECT_EQ(hand.hotSpot(), QPoint(0, 0));
    EXPECT_EQ(hand.pixmap().size(), QSize(32, 32));
}

TEST(ResourcesTest, ClickSoundIs57MillisecondsOf16BitMonoAt22050Hz) {
    const QByteArray wave = ClickSound();
    ASSERT_GT(wave.size(), 44);
    EXPECT_EQ(wave.left(4), QByteArray("RIFF"));
    EXPECT_EQ(wave.mid(8, 4), QByteArray("WAVE"));
    auto le16 = [&](int at) { return quint16(quint8(wave[at]) | quint8(wave[at + 1]) << 8); };
    auto le32 = [&](int at) { return quint32(le16(at)) | quint32(le16(at + 2)) << 16; };
    EXPECT_EQ(le16(20), 1);  // PCM
    EXPECT_EQ(le16(22), 1);  // mono
    EXPECT_EQ(le32(24), 22050u);
    EXPECT_EQ(le16(34), 16);  // bits
    const quint32 frames = le32(40) / 2;
    EXPECT_EQ(frames * 1000 / 22050, 57u);
}

// Bad wave images are refused before any device is opened; nothing here may hang or read out of bounds.
TEST(ResourcesTest, SoundLayerRefusesDamagedWaves) {
    EXPECT_FALSE(PlayWaveSync(nullptr, 0));
    EXPECT_FALSE(PlayWaveSync("RIFF", 4));
    QByteArray wave = ClickSound();
    EXPECT_FALSE(PlayWaveSync(wave.constData(), 30));  // cut inside the format chunk
    QByteArray compressed = wave;
    compressed[20] = 2;  // not PCM
    EXPECT_FALSE(PlayWaveSync(compressed.constData(), std::size_t(compressed.size())));
    QByteArray hugeFormat = wave;
    hugeFormat[16] = char(0xFF);
    hugeFormat[17] = char(0xFF);
    hugeFormat[18] = char(0xFF);
    hugeFormat[19] = char(0x7F);
    EXPECT_FALSE(PlayWaveSync(hugeFormat.constData(), std::size_t(hugeFormat.size())));
}

// ALSA's null device takes samples without a sound card: the whole write-and-drain path runs and ends.
TEST(ResourcesTest, SoundLayerPlaysThroughToTheEnd) {
    const char* systemConfig = "/usr/share/alsa/alsa.conf";
    if (!QFile::exists(QString::fromLatin1(systemConfig))) {
        GTEST_SKIP() << "no ALSA configuration at " << systemConfig;
    }
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("null.conf"));
    QFile config(path);
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write(QByteArray("<") + systemConfig + ">\npcm.!default { type null }\n");
    config.close();
    qputenv("ALSA_CONFIG_PATH", path.toLocal8Bit());
    const QByteArray wave = ClickSound();
    EXPECT_TRUE(PlayWaveSync(wave.constData(), std::size_t(wave.size())));
    qunsetenv("ALSA_CONFIG_PATH");
}

}  // namespace
}  // namespace signposter::ui
