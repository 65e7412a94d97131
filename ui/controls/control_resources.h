#pragma once

#include <QByteArray>
#include <QCursor>
#include <QIcon>
#include <QImage>
#include <QString>

// Access to the images, cursor and sound compiled into the program. Loading never fails loudly: a
// missing or damaged resource yields an empty image (or the default cursor, or no sound), and whoever
// draws it simply leaves it out.
namespace signposter::ui {

// A bitmap by its resource name ("Blank", "CheckOk", "FEDITBMP", ...), case-insensitive, exactly as
// stored (palette colours, no transparency applied).
QImage LoadBitmapResource(const QString& name);
// The same bitmap ready for transparent drawing: every pixel of the bottom-left pixel's colour becomes
// fully transparent.
QImage LoadTransparentBitmap(const QString& name);
// Makes the pixels of `image` that have its bottom-left pixel's colour transparent.
QImage WithBottomLeftTransparent(const QImage& image);
// The pale marble texture tiled behind the main window and its command buttons (128 x 128).
QImage MarbleTexture();
// The program icon "MAINICON" (window and tray).
QIcon MainIcon();
// The pointing-hand cursor "HANDD", hot spot at its top-left corner.
QCursor HandCursor();
// The "klik" click sound: a complete RIFF/WAVE file image.
QByteArray ClickSound();

}  // namespace signposter::ui
