// draw-tiles: paints the four tile pictures of the main window and writes them as
// Bitmap1.bmp ... Bitmap4.bmp into the folder named on the command line.
//
// The station shows one picture per relay and lays three labels over it (breaker name,
// generator name, insulation resistance), so the drawing keeps those places light and
// empty. The colour of the bottom-left pixel is the picture's background: an unselected
// tile has every pixel of that colour masked out, a selected tile is drawn opaque and the
// background becomes the selection frame. That is why the background colour must occur in
// the outer margin and nowhere else; the program checks this before it writes anything.

#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRect>
#include <QSaveFile>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr int kWidth = 150;
constexpr int kHeight = 190;
// Width of the background margin around the card; it is all the selection frame there is.
constexpr int kMargin = 5;

// Selection blue. Chosen so that no blend of the card's colours (tints, ink, white text on
// the state bands) can land on it exactly; checkBackground() proves it for every picture.
const QColor kBackground(0x1F, 0x5F, 0xD0);

const QColor kInk(0x1E, 0x1E, 0x1E);
const QColor kDisplayField(0xFC, 0xFC, 0xFC);
const QColor kDisplayEdge(0x8A, 0x8A, 0x8A);

const QString kFontFamily = QStringLiteral("DejaVu Sans");

struct TileStyle {
    QString fileName;
    QString word;  // read from across the room, so short and in capitals
    QColor band;   // state colour: top band, bottom strip
    QColor frame;  // darker shade of the state colour: card outline, slot lines
    QColor body;   // light tint under the labels; black bold text must stay readable on it
};

// Index + 1 is the file number; the station maps files 1..3 to tile states 0..2.
std::vector<TileStyle> tileStyles() {
    return {
        {QStringLiteral("Bitmap1.bmp"), QStringLiteral("НЕТ СВЯЗИ"), QColor(0x70, 0x70, 0x70),
         QColor(0x45, 0x45, 0x45), QColor(0xE2, 0xE2, 0xE2)},
        {QStringLiteral("Bitmap2.bmp"), QStringLiteral("АВАРИЯ"), QColor(0xD3, 0x14, 0x1B),
         QColor(0x8C, 0x0B, 0x10), QColor(0xFF, 0xDD, 0xDD)},
        {QStringLiteral("Bitmap3.bmp"), QStringLiteral("НОРМА"), QColor(0x17, 0x8F, 0x3A),
         QColor(0x0E, 0x5C, 0x25), QColor(0xDC, 0xF2, 0xE1)},
        {QStringLiteral("Bitmap4.bmp"), QStringLiteral("РЕЗЕРВ"), QColor(0x4C, 0x5E, 0x78),
         QColor(0x30, 0x3C, 0x4D), QColor(0xE3, 0xE8, 0xEF)},
    };
}

QFont boldFont(int pixelSize) {
    QFont font(kFontFamily);
    font.setPixelSize(pixelSize);
    font.setBold(true);
    // Colour fringes of subpixel text could hit the background colour inside the card.
    font.setStyleStrategy(QFont::NoSubpixelAntialias);
    return font;
}

// Largest bold font, not above maxPixelSize, in which text fits into width.
QFont fittedFont(const QString& text, int maxPixelSize, int width) {
    int size = maxPixelSize;
    while (size > 8 && QFontMetrics(boldFont(size)).horizontalAdvance(text) > width) {
        --size;
    }
    return boldFont(size);
}

void drawBreaker(QPainter& p) {
    // Busbar above the breaker, then a short drop into the breaker square. The square is
    // left hollow: the station does not know the breaker's position and must not suggest it.
    p.fillRect(QRect(11, 38, 31, 3), kInk);
    p.fillRect(QRect(25, 41, 2, 3), kInk);
    p.fillRect(QRect(15, 44, 22, 22), kInk);
    p.fillRect(QRect(18, 47, 16, 16), kDisplayField);
}

void drawGenerator(QPainter& p) {
    // Line from the breaker down to the machine.
    p.fillRect(QRect(25, 66, 2, 35), kInk);

    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    const QPointF centre(26.0, 117.0);
    p.setPen(QPen(kInk, 2.5));
    p.setBrush(kDisplayField);
    p.drawEllipse(centre, 16.5, 16.5);

    p.setPen(kInk);
    p.setFont(boldFont(16));
    p.drawText(QRectF(centre.x() - 12, centre.y() - 14, 24, 20), Qt::AlignCenter,
               QStringLiteral("G"));

    // Alternating-current mark under the letter.
    QPainterPath wave;
    wave.moveTo(centre.x() - 7, centre.y() + 9);
    wave.cubicTo(centre.x() - 4, centre.y() + 4, centre.x() - 1, centre.y() + 6, centre.x(),
                 centre.y() + 8);
    wave.cubicTo(centre.x() + 1, centre.y() + 10, centre.x() + 4, centre.y() + 12, centre.x() + 7,
                 centre.y() + 7);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kInk, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(wave);
    p.setRenderHint(QPainter::Antialiasing, false);
}

QImage paintTile(const TileStyle& style) {
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(kBackground);

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);

    // Card: whole-pixel rectangles only, so its edge never blends into the margin.
    const QRect card(kMargin, kMargin, kWidth - 2 * kMargin, kHeight - 2 * kMargin);
    p.fillRect(card, style.frame);
    const QRect inner = card.adjusted(2, 2, -2, -2);  // x 7..142, y 7..182
    p.fillRect(inner, style.body);

    // State band with the state word, the first thing the eye finds.
    const QRect band(inner.left(), inner.top(), inner.width(), 28);  // y 7..34
    p.fillRect(band, style.band);
    p.fillRect(QRect(inner.left(), band.bottom() + 1, inner.width(), 1), style.frame);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    p.setPen(Qt::white);
    p.setFont(fittedFont(style.word, 19, band.width() - 16));
    p.drawText(band, Qt::AlignCenter, style.word);

    // Bottom strip repeats the state colour so that it also reads when the band is
    // scrolled out of view or hidden behind another window.
    p.fillRect(QRect(inner.left(), 175, inner.width(), inner.bottom() - 175 + 1), style.band);

    drawBreaker(p);
    drawGenerator(p);

    // Name slots: the station writes the breaker name at y 45 and the generator name at
    // y 112 from x 48; a fine rule under each keeps a short name from floating.
    p.fillRect(QRect(46, 66, inner.right() - 46 - 3, 1), style.frame);
    p.fillRect(QRect(46, 133, inner.right() - 46 - 3, 1), style.frame);

    // Display field for the insulation resistance, written by the station at (8, 150).
    const QRect display(inner.left(), 146, 89, 25);  // x 7..95, y 146..170
    p.fillRect(display, kDisplayEdge);
    p.fillRect(display.adjusted(0, 1, -1, -1), kDisplayField);

    p.setPen(kInk);
    p.setFont(boldFont(15));
    p.drawText(QRect(display.right() + 3, 146, inner.right() - display.right() - 4, 25),
               Qt::AlignCenter, QStringLiteral("кОм"));

    p.setFont(boldFont(9));
    p.drawText(QRect(display.left() + 2, 135, 86, 11), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("R изоляции"));

    p.end();
    return image;
}

// The margin must be exactly the set of pixels with the bottom-left pixel's colour.
std::optional<QString> checkBackground(const QImage& image) {
    const QRgb background = image.pixel(0, image.height() - 1);
    if (background != kBackground.rgb()) {
        return QStringLiteral("bottom-left pixel is not the background colour");
    }
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const bool inMargin = x < kMargin || y < kMargin || x >= image.width() - kMargin ||
                                  y >= image.height() - kMargin;
            const bool isBackground = image.pixel(x, y) == background;
            if (inMargin != isBackground) {
                return QStringLiteral("pixel (%1, %2) %3 the background colour")
                    .arg(x)
                    .arg(y)
                    .arg(inMargin ? QStringLiteral("in the margin is not")
                                  : QStringLiteral("inside the card is"));
            }
        }
    }
    return std::nullopt;
}

// Writes a 24-bit BMP atomically and reads it back, so a picture that the station would
// load differently from what was drawn never replaces a good one.
std::optional<QString> writeBitmap(const QImage& image, const QString& path) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return QStringLiteral("cannot open for writing: %1").arg(file.errorString());
    }
    if (!rgb.save(&file, "BMP")) {
        file.cancelWriting();
        return QStringLiteral("BMP encoding failed");
    }
    if (!file.commit()) {
        return QStringLiteral("cannot write: %1").arg(file.errorString());
    }

    QFile written(path);
    if (!written.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot read back: %1").arg(written.errorString());
    }
    const QByteArray header = written.read(30);
    if (header.size() < 30 || !header.startsWith("BM")) {
        return QStringLiteral("written file is not a BMP");
    }
    const int bitsPerPixel =
        static_cast<unsigned char>(header[28]) | (static_cast<unsigned char>(header[29]) << 8);
    if (bitsPerPixel != 24) {
        return QStringLiteral("written file has %1 bits per pixel, expected 24").arg(bitsPerPixel);
    }
    written.close();

    const QImage loaded(path, "BMP");
    if (loaded.isNull()) {
        return QStringLiteral("written file cannot be loaded back");
    }
    if (loaded.convertToFormat(QImage::Format_RGB32) !=
        image.convertToFormat(QImage::Format_RGB32)) {
        return QStringLiteral("written file differs from the drawing");
    }
    return std::nullopt;
}

// Without the intended font the text would come out in whatever the system substitutes,
// possibly without Cyrillic; better to stop than to commit boxes or a different layout.
std::optional<QString> checkFont() {
    if (!QFontDatabase::families().contains(kFontFamily)) {
        return QStringLiteral("font \"%1\" is not installed (Debian: fonts-dejavu-core)")
            .arg(kFontFamily);
    }
    if (!QFontDatabase::writingSystems(kFontFamily).contains(QFontDatabase::Cyrillic)) {
        return QStringLiteral("font \"%1\" has no Cyrillic").arg(kFontFamily);
    }
    const QFontInfo info(boldFont(16));
    if (info.family() != kFontFamily || !info.bold()) {
        return QStringLiteral("bold face of \"%1\" is not available").arg(kFontFamily);
    }
    return std::nullopt;
}

void fail(const QString& message) {
    std::fprintf(stderr, "draw-tiles: %s\n", qPrintable(message));
}

}  // namespace

int main(int argc, char* argv[]) {
    // Nothing is shown on screen; the offscreen platform lets this run on a build machine.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);

    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2 || args.at(1).isEmpty() || args.at(1).startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr,
                     "usage: draw-tiles <folder>\n"
                     "Draws the tile pictures Bitmap1.bmp ... Bitmap4.bmp into <folder>.\n");
        return 2;
    }

    const QString folder = args.at(1);
    const QFileInfo folderInfo(folder);
    if (folderInfo.exists() && !folderInfo.isDir()) {
        fail(QStringLiteral("%1 exists and is not a folder").arg(folder));
        return 1;
    }
    if (!QDir().mkpath(folder)) {
        fail(QStringLiteral("cannot create folder %1").arg(folder));
        return 1;
    }

    if (const auto error = checkFont()) {
        fail(*error);
        return 1;
    }

    // Draw and check all four before writing any, so a failure leaves the folder as it was.
    const std::vector<TileStyle> styles = tileStyles();
    std::vector<QImage> images;
    for (const TileStyle& style : styles) {
        QImage image = paintTile(style);
        if (const auto error = checkBackground(image)) {
            fail(QStringLiteral("%1: %2").arg(style.fileName, *error));
            return 1;
        }
        images.push_back(std::move(image));
    }

    const QDir dir(folder);
    for (std::size_t i = 0; i < styles.size(); ++i) {
        const QString path = dir.filePath(styles[i].fileName);
        if (const auto error = writeBitmap(images[i], path)) {
            fail(QStringLiteral("%1: %2").arg(path, *error));
            return 1;
        }
        std::printf("%s\n", qPrintable(QDir::toNativeSeparators(path)));
    }
    return 0;
}
