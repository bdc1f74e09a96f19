// Draws every icon of the application with QPainter and writes them as PNG
// files into the folder given on the command line. Run it offscreen:
//   QT_QPA_PLATFORM=offscreen make_images resources/images
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

#include <cmath>
#include <functional>

namespace {

const QColor ink(0x3a, 0x46, 0x5a);        // dark slate for line icons
const QColor accentTop(0x59, 0x9d, 0xe1);  // the blue of the style sheet
const QColor accentBottom(0x2f, 0x71, 0xbc);
const QColor badgeRed(0xd9, 0x2b, 0x2b);

using Drawing = std::function<void(QPainter&, double)>;

bool save(const QString& folder, const QString& name, int width, int height, const Drawing& draw)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        // Every drawing is written for a 24 x 24 grid and scaled to the image.
        const double scale = std::min(width, height) / 24.0;
        painter.translate((width - 24.0 * scale) / 2.0, (height - 24.0 * scale) / 2.0);
        painter.scale(scale, scale);
        draw(painter, scale);
    }
    const QString path = folder + "/" + name + ".png";
    if (!image.save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << "\n";
        return false;
    }
    return true;
}

QPen linePen(const QColor& color, double width = 2.0)
{
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

QLinearGradient accent(double top, double bottom)
{
    QLinearGradient gradient(0, top, 0, bottom);
    gradient.setColorAt(0, accentTop);
    gradient.setColorAt(1, accentBottom);
    return gradient;
}

void drawSearch(QPainter& p, double)
{
    p.setPen(linePen(QColor(0x6b, 0x75, 0x85), 2.4));
    p.setBrush(QColor(255, 255, 255, 200));
    p.drawEllipse(QPointF(10, 10), 6.5, 6.5);
    p.setPen(linePen(QColor(0x6b, 0x75, 0x85), 3.6));
    p.drawLine(QPointF(15, 15), QPointF(21, 21));
}

void drawClear(QPainter& p, double)
{
    // A broom sweeping: handle, binding and bristles.
    p.setPen(linePen(QColor(0x8a, 0x5a, 0x2b), 2.2));
    p.drawLine(QPointF(19.5, 2.5), QPointF(12.5, 11.5));
    QPainterPath bristles;
    bristles.moveTo(10.5, 10);
    bristles.lineTo(15.5, 13.5);
    bristles.lineTo(12, 21.5);
    bristles.quadTo(6, 21, 3, 17.5);
    bristles.closeSubpath();
    p.setPen(linePen(QColor(0xa8, 0x7a, 0x18), 1.2));
    p.setBrush(QColor(0xf2, 0xc1, 0x4e));
    p.drawPath(bristles);
    p.setPen(linePen(QColor(0xa8, 0x7a, 0x18), 1.0));
    p.drawLine(QPointF(8, 16), QPointF(12.5, 19));
    p.drawLine(QPointF(9.5, 13.5), QPointF(13.5, 16.5));
    p.setPen(linePen(QColor(0x3a, 0x7d, 0xd0), 2.6));
    p.drawLine(QPointF(10.2, 10.2), QPointF(15.8, 14.2));
}

void drawMonitor(QPainter& p, double)
{
    // A screen with a pulse line: "watching the network". White, as it sits
    // on the blue start button.
    p.setPen(linePen(Qt::white, 1.6));
    p.setBrush(QColor(255, 255, 255, 40));
    p.drawRoundedRect(QRectF(2, 3, 20, 14), 2, 2);
    p.drawLine(QPointF(12, 17), QPointF(12, 20.5));
    p.drawLine(QPointF(7.5, 21), QPointF(16.5, 21));
    QPainterPath pulse;
    pulse.moveTo(4.5, 10.5);
    pulse.lineTo(8, 10.5);
    pulse.lineTo(10, 6);
    pulse.lineTo(13, 14.5);
    pulse.lineTo(15, 10.5);
    pulse.lineTo(19.5, 10.5);
    p.setBrush(Qt::NoBrush);
    p.setPen(linePen(QColor(0xb6, 0xf5, 0x8a), 1.8));
    p.drawPath(pulse);
}

void drawLogo(QPainter& p, double)
{
    // Rounded blue tile, a film frame and a downward arrow into a tray.
    QPainterPath tile;
    tile.addRoundedRect(QRectF(1, 1, 22, 22), 5, 5);
    p.setPen(Qt::NoPen);
    p.setBrush(accent(1, 23));
    p.drawPath(tile);
    QLinearGradient gloss(0, 1, 0, 12);
    gloss.setColorAt(0, QColor(255, 255, 255, 90));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(gloss);
    p.drawRoundedRect(QRectF(1.5, 1.5, 21, 10), 4.5, 4.5);
    p.setPen(QPen(QColor(0x24, 0x5a, 0x99), 0.6));
    p.setBrush(Qt::NoBrush);
    p.drawPath(tile);

    QPainterPath arrow;
    arrow.moveTo(9.6, 4.5);
    arrow.lineTo(14.4, 4.5);
    arrow.lineTo(14.4, 10.5);
    arrow.lineTo(17.5, 10.5);
    arrow.lineTo(12, 16);
    arrow.lineTo(6.5, 10.5);
    arrow.lineTo(9.6, 10.5);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(arrow);
    p.setPen(linePen(Qt::white, 1.8));
    QPainterPath tray;
    tray.moveTo(5, 15.5);
    tray.lineTo(5, 19);
    tray.lineTo(19, 19);
    tray.lineTo(19, 15.5);
    p.setBrush(Qt::NoBrush);
    p.drawPath(tray);
}

void drawHome(QPainter& p, double)
{
    QPainterPath house;
    house.moveTo(3, 11.5);
    house.lineTo(12, 3.5);
    house.lineTo(21, 11.5);
    p.setPen(linePen(ink, 2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(house);
    QPainterPath body;
    body.moveTo(5.5, 10);
    body.lineTo(5.5, 20.5);
    body.lineTo(18.5, 20.5);
    body.lineTo(18.5, 10);
    p.drawPath(body);
    p.setBrush(ink);
    p.drawRect(QRectF(10, 14, 4, 6.5));
}

void drawTransfers(QPainter& p, double)
{
    p.setPen(linePen(ink, 2));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(8, 20), QPointF(8, 5));
    p.drawLine(QPointF(4, 9), QPointF(8, 4.5));
    p.drawLine(QPointF(12, 9), QPointF(8, 4.5));
    p.drawLine(QPointF(16, 4), QPointF(16, 19));
    p.drawLine(QPointF(12, 15), QPointF(16, 19.5));
    p.drawLine(QPointF(20, 15), QPointF(16, 19.5));
}

void drawVideos(QPainter& p, double)
{
    // A film strip.
    p.setPen(linePen(ink, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3, 4, 18, 16), 1.5, 1.5);
    p.drawLine(QPointF(7, 4), QPointF(7, 20));
    p.drawLine(QPointF(17, 4), QPointF(17, 20));
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    for (double y : {6.0, 10.5, 15.0}) {
        p.drawRect(QRectF(4, y, 2, 2.5));
        p.drawRect(QRectF(18, y, 2, 2.5));
    }
    QPainterPath play;
    play.moveTo(10, 9);
    play.lineTo(15, 12);
    play.lineTo(10, 15);
    play.closeSubpath();
    p.drawPath(play);
}

void drawImages(QPainter& p, double)
{
    p.setPen(linePen(ink, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3, 4.5, 18, 15), 1.5, 1.5);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawEllipse(QPointF(15.5, 9), 1.8, 1.8);
    QPainterPath hills;
    hills.moveTo(4, 18.5);
    hills.lineTo(9, 11.5);
    hills.lineTo(13, 16);
    hills.lineTo(15, 14);
    hills.lineTo(20, 18.5);
    hills.closeSubpath();
    p.drawPath(hills);
}

void drawBusy(QPainter& p, double)
{
    // Eight dots in a circle, fading: the usual "working" mark.
    for (int i = 0; i < 8; ++i) {
        const double angle = i * M_PI / 4.0;
        const QPointF centre(12 + 7.5 * std::cos(angle), 12 + 7.5 * std::sin(angle));
        QColor color = accentBottom;
        color.setAlpha(60 + i * 25);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(centre, 1.4 + i * 0.12, 1.4 + i * 0.12);
    }
}

void drawView(QPainter& p, double)
{
    QPainterPath eye;
    eye.moveTo(2, 12);
    eye.quadTo(12, 2, 22, 12);
    eye.quadTo(12, 22, 2, 12);
    p.setPen(linePen(ink, 1.8));
    p.setBrush(Qt::white);
    p.drawPath(eye);
    p.setPen(Qt::NoPen);
    p.setBrush(accentBottom);
    p.drawEllipse(QPointF(12, 12), 4, 4);
    p.setBrush(ink);
    p.drawEllipse(QPointF(12, 12), 1.8, 1.8);
}

void drawSave(QPainter& p, double)
{
    // An arrow down into an open tray.
    p.setPen(linePen(QColor(0x2e, 0x8b, 0x3e), 2.2));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(12, 3), QPointF(12, 14));
    p.drawLine(QPointF(7.5, 10), QPointF(12, 14.5));
    p.drawLine(QPointF(16.5, 10), QPointF(12, 14.5));
    QPainterPath tray;
    tray.moveTo(3.5, 14);
    tray.lineTo(3.5, 20.5);
    tray.lineTo(20.5, 20.5);
    tray.lineTo(20.5, 14);
    p.setPen(linePen(ink, 2));
    p.drawPath(tray);
}

void drawDelete(QPainter& p, double)
{
    const QColor red(0xc0, 0x39, 0x2b);
    p.setPen(linePen(red, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(4, 6), QPointF(20, 6));
    p.drawLine(QPointF(9.5, 6), QPointF(10, 3.5));
    p.drawLine(QPointF(10, 3.5), QPointF(14, 3.5));
    p.drawLine(QPointF(14, 3.5), QPointF(14.5, 6));
    QPainterPath can;
    can.moveTo(6, 6);
    can.lineTo(7.2, 21);
    can.lineTo(16.8, 21);
    can.lineTo(18, 6);
    p.drawPath(can);
    p.drawLine(QPointF(10, 9.5), QPointF(10.3, 17.5));
    p.drawLine(QPointF(14, 9.5), QPointF(13.7, 17.5));
}

void drawPlay(QPainter& p, double)
{
    p.setPen(Qt::NoPen);
    p.setBrush(accent(2, 22));
    p.drawEllipse(QPointF(12, 12), 10, 10);
    QPainterPath triangle;
    triangle.moveTo(9.5, 7);
    triangle.lineTo(17, 12);
    triangle.lineTo(9.5, 17);
    triangle.closeSubpath();
    p.setBrush(Qt::white);
    p.drawPath(triangle);
}

void drawConvert(QPainter& p, double)
{
    // Two arrows chasing each other round a circle.
    p.setPen(linePen(accentBottom, 2.2));
    p.setBrush(Qt::NoBrush);
    const QRectF ring(4, 4, 16, 16);
    p.drawArc(ring, 30 * 16, 140 * 16);
    p.drawArc(ring, 210 * 16, 140 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(accentBottom);
    QPainterPath head1;
    head1.moveTo(3, 10);
    head1.lineTo(6.5, 14.5);
    head1.lineTo(9.5, 9.5);
    head1.closeSubpath();
    p.drawPath(head1);
    QPainterPath head2;
    head2.moveTo(21, 14);
    head2.lineTo(17.5, 9.5);
    head2.lineTo(14.5, 14.5);
    head2.closeSubpath();
    p.drawPath(head2);
}

// A red pill with a white number, put beside a side-list row.
bool saveBadge(const QString& folder, const QString& name, const QString& text)
{
    QFont font;
    font.setFamily("DejaVu Sans");
    font.setPixelSize(10);
    font.setBold(true);
    const int height = 16;
    const int width = text.size() <= 1 ? 18 : 10 + 7 * int(text.size());
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        QLinearGradient fill(0, 0, 0, height);
        fill.setColorAt(0, badgeRed.lighter(125));
        fill.setColorAt(1, badgeRed.darker(110));
        p.setPen(QPen(QColor(255, 255, 255), 1.2));
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(0.6, 0.6, width - 1.2, height - 1.2), (height - 1.2) / 2,
                          (height - 1.2) / 2);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(0, 0, width, height - 0.5), Qt::AlignCenter, text);
    }
    return image.save(folder + "/" + name + ".png", "PNG");
}

}  // namespace

int main(int argc, char* argv[])
{
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: make_images <output folder>\n";
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);

    struct Icon {
        const char* name;
        int size;
        Drawing draw;
    };
    const Icon icons[] = {
        {"search", 16, drawSearch},   {"clear", 24, drawClear},       {"monitor", 32, drawMonitor},
        {"vendrax", 64, drawLogo},    {"home", 24, drawHome},         {"transfers", 24, drawTransfers},
        {"videos", 24, drawVideos},   {"images", 24, drawImages},     {"busy", 32, drawBusy},
        {"view", 24, drawView},       {"save", 24, drawSave},         {"delete", 24, drawDelete},
        {"play", 24, drawPlay},       {"convert", 24, drawConvert},
    };
    bool ok = true;
    for (const Icon& icon : icons)
        ok = save(folder, icon.name, icon.size, icon.size, icon.draw) && ok;
    for (int count = 1; count <= 30; ++count)
        ok = saveBadge(folder, QString("red%1").arg(count), QString::number(count)) && ok;
    ok = saveBadge(folder, "red_n", "30+") && ok;
    return ok ? 0 : 1;
}
