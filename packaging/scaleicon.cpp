// Writes the application's icon in the sizes of the hicolor icon theme:
// scaleicon SOURCE.png OUTPUT-FOLDER SIZE... writes OUTPUT-FOLDER/SIZExSIZE/velmora.png.
#include <QDir>
#include <QImage>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: scaleicon SOURCE.png OUTPUT-FOLDER SIZE...\n");
        return 2;
    }
    const QImage source(QString::fromLocal8Bit(argv[1]));
    if (source.isNull()) {
        std::fprintf(stderr, "scaleicon: cannot read %s\n", argv[1]);
        return 1;
    }
    for (int i = 3; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        if (size <= 0) {
            std::fprintf(stderr, "scaleicon: bad size %s\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1/%2x%2").arg(QString::fromLocal8Bit(argv[2])).arg(size);
        // A square of exactly that size, the picture centred in it.
        const QImage scaled = source.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QImage icon(size, size, QImage::Format_ARGB32);
        icon.fill(Qt::transparent);
        for (int y = 0; y < scaled.height(); ++y)
            for (int x = 0; x < scaled.width(); ++x)
                icon.setPixelColor(x + (size - scaled.width()) / 2, y + (size - scaled.height()) / 2,
                                   scaled.pixelColor(x, y));
        if (!QDir().mkpath(folder) || !icon.save(folder + QStringLiteral("/velmora.png"), "PNG")) {
            std::fprintf(stderr, "scaleicon: cannot write %s/velmora.png\n",
                         folder.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
