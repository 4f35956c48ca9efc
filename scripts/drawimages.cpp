// Draws the program's images (splash, icons, logos, list buttons, wizard
// side image) into app/resources/images and, when built with the user
// interface (the drawimages target), pictures of its dialogs with sample
// contents into docs/images. Run once when they change:
//   cmake --build build --target drawimages
//   QT_QPA_PLATFORM=offscreen build/bin/drawimages app/resources/images docs/images
// The images alone, without a build tree:
//   g++ -fPIC scripts/drawimages.cpp $(pkg-config --cflags --libs Qt5Gui) -o /tmp/drawimages
//   QT_QPA_PLATFORM=offscreen /tmp/drawimages app/resources/images
#ifdef VELMORA_DRAW_DIALOGS
#include "ui/portremove.h"

#include <QApplication>
#include <QDir>
#include <QListWidget>
#endif
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

static const QColor kBlue(0x1f, 0x4e, 0x8c);
static const QColor kTeal(0x2a, 0x9d, 0x8f);

static void logo(QPainter &p, const QRectF &r, const QColor &color, bool withText)
{
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = r.height();
    QRectF mark(r.left(), r.top(), s, s);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(mark, s * 0.18, s * 0.18);
    p.setBrush(Qt::white);
    // A stylised "T" over a receipt tear line.
    p.drawRect(QRectF(mark.left() + s * 0.2, mark.top() + s * 0.2, s * 0.6, s * 0.14));
    p.drawRect(QRectF(mark.left() + s * 0.43, mark.top() + s * 0.2, s * 0.14, s * 0.58));
    if (withText) {
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setBold(true);
        f.setPixelSize(int(s * 0.62));
        p.setFont(f);
        p.setPen(color);
        p.drawText(QRectF(r.left() + s * 1.2, r.top(), r.width() - s * 1.2, s),
                   Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("TAVREL"));
    }
}

static QImage canvas(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

static void button(const QString &path, const QColor &color, int kind)
{
    QImage img = canvas(24, 24);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QRectF(1, 1, 22, 22));
    p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    switch (kind) {
    case 0: // add
        p.drawLine(QPointF(12, 6), QPointF(12, 18));
        p.drawLine(QPointF(6, 12), QPointF(18, 12));
        break;
    case 1: // edit: a pencil
        p.drawLine(QPointF(7, 17), QPointF(17, 7));
        p.setPen(QPen(Qt::white, 1.5));
        p.drawLine(QPointF(6, 18), QPointF(9, 18));
        break;
    case 2: // select: a tick
        p.drawPolyline(QPolygonF({QPointF(6, 12.5), QPointF(10.5, 17), QPointF(18, 8)}));
        break;
    default: // delete: a cross
        p.drawLine(QPointF(8, 8), QPointF(16, 16));
        p.drawLine(QPointF(16, 8), QPointF(8, 16));
        break;
    }
    p.end();
    img.save(path);
}

#ifdef VELMORA_DRAW_DIALOGS
// The dialogs as a user sees them, with contents such as a working system shows.
static void dialogs(const QString &dir)
{
    QDir().mkpath(dir);
    PortRemove remove(nullptr); // no driver: the rows are given
    remove.showPairs({{0, QStringLiteral("COM5"), 1, QStringLiteral("NULL_COM5")},
                      {2, QStringLiteral("COM8"), 3, QStringLiteral("COM9")},
                      {4, QStringLiteral("NULL_COM11"), 5, QStringLiteral("COM11")},
                      {6, QStringLiteral("COM7"), 7, QString()}});
    auto *list = remove.findChild<QListWidget *>();
    list->item(1)->setSelected(true);
    list->item(3)->setSelected(true);
    remove.resize(380, 280);
    remove.show();
    QApplication::processEvents();
    // Under a plain title bar: the offscreen platform draws no window frame.
    const QPixmap body = remove.grab();
    QImage img(body.width(), body.height() + 26, QImage::Format_RGB32);
    QPainter p(&img);
    p.fillRect(QRect(0, 0, img.width(), 26), kBlue);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(13);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(10, 0, img.width() - 20, 26), Qt::AlignVCenter | Qt::AlignLeft, remove.windowTitle());
    p.drawPixmap(0, 26, body);
    p.end();
    img.save(dir + QStringLiteral("/portremove.png"));
}
#endif

int main(int argc, char **argv)
{
#ifdef VELMORA_DRAW_DIALOGS
    QApplication app(argc, argv);
#else
    QGuiApplication app(argc, argv);
#endif
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
#ifdef VELMORA_DRAW_DIALOGS
    if (argc > 2)
        dialogs(QString::fromLocal8Bit(argv[2]));
#endif

    {
        QImage img(480, 280, QImage::Format_RGB32);
        QPainter p(&img);
        QLinearGradient g(0, 0, 0, 280);
        g.setColorAt(0, QColor(0xf4, 0xf7, 0xfb));
        g.setColorAt(1, QColor(0xd9, 0xe4, 0xf2));
        p.fillRect(img.rect(), g);
        p.fillRect(QRect(0, 250, 480, 30), kBlue);
        logo(p, QRectF(40, 60, 400, 72), kBlue, true);
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(26);
        p.setFont(f);
        p.setPen(kTeal);
        p.drawText(QRect(40, 150, 400, 40), Qt::AlignLeft, QStringLiteral("Velmora"));
        f.setPixelSize(13);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(QRect(0, 250, 466, 30), Qt::AlignVCenter | Qt::AlignRight,
                   QStringLiteral("Tunele portów szeregowych dla urządzeń fiskalnych"));
        p.end();
        img.save(dir + QStringLiteral("/tavrel_splash.png"));
    }
    {
        QImage img = canvas(64, 64);
        QPainter p(&img);
        logo(p, QRectF(2, 2, 60, 60), kBlue, false);
        p.setBrush(kTeal);
        p.setPen(QPen(Qt::white, 2));
        p.drawEllipse(QRectF(38, 38, 24, 24));
        p.end();
        img.save(dir + QStringLiteral("/application2.png"));
    }
    {
        QImage img = canvas(240, 56);
        QPainter p(&img);
        logo(p, QRectF(4, 4, 232, 48), kBlue, true);
        p.end();
        img.save(dir + QStringLiteral("/tavrel_logo.png"));
    }
    {
        // Faint watermark for the configuration list's background.
        QImage img = canvas(320, 75);
        QPainter p(&img);
        p.setOpacity(0.12);
        logo(p, QRectF(5, 5, 310, 64), kBlue, true);
        p.end();
        img.save(dir + QStringLiteral("/tavrel_logo_tl.png"));
    }
    {
        QImage img = canvas(96, 22);
        QPainter p(&img);
        logo(p, QRectF(2, 2, 92, 18), kBlue, true);
        p.end();
        img.save(dir + QStringLiteral("/tavrel_logo_xs.png"));
    }
    button(dir + QStringLiteral("/add.png"), QColor(0x2e, 0x9e, 0x4f), 0);
    button(dir + QStringLiteral("/edit.png"), kBlue, 1);
    button(dir + QStringLiteral("/select.png"), kTeal, 2);
    button(dir + QStringLiteral("/delete.png"), QColor(0xc6, 0x3b, 0x3b), 3);
    {
        QImage img(164, 314, QImage::Format_RGB32);
        QPainter p(&img);
        QLinearGradient g(0, 0, 0, 314);
        g.setColorAt(0, kBlue);
        g.setColorAt(1, kTeal);
        p.fillRect(img.rect(), g);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(255, 255, 255, 70), 2));
        for (int i = 0; i < 6; ++i)
            p.drawLine(QPointF(20, 200 + i * 12), QPointF(144, 200 + i * 12));
        logo(p, QRectF(50, 60, 64, 64), Qt::white, false);
        p.end();
        img.save(dir + QStringLiteral("/wizard-left.jpg"), "JPG", 90);
    }
    return 0;
}
