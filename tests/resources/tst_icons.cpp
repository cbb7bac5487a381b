#include "iconpaths.h"

#include <QFile>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QSet>
#include <QTest>

using namespace quorvel::icons;

namespace {

// The standard 16-colour palette; every pixel of the 4-bit pictures must be one of these.
const QSet<QRgb>& palette16()
{
    static const QSet<QRgb> colours{
        0xFF000000, 0xFF800000, 0xFF008000, 0xFF808000, 0xFF000080, 0xFF800080, 0xFF008080, 0xFFC0C0C0,
        0xFF808080, 0xFFFF0000, 0xFF00FF00, 0xFFFFFF00, 0xFF0000FF, 0xFFFF00FF, 0xFF00FFFF, 0xFFFFFFFF,
    };
    return colours;
}

QString hex(QRgb rgb)
{
    return QStringLiteral("#%1").arg(rgb, 8, 16, QLatin1Char('0'));
}

} // namespace

class TestIcons : public QObject {
    Q_OBJECT

private slots:
    void resourcesRegisteredByLinking();
    void toolbarKeysInListOrder();
    void toolbarPicture_data();
    void toolbarPicture();
    void toolbarPixmapMasksExactlyTheMaskColour_data();
    void toolbarPixmapMasksExactlyTheMaskColour();
    void toolbarPicturesAllDiffer();
    void unknownKey_data();
    void unknownKey();
    void aboutIcon();
    void programIconRendering_data();
    void programIconRendering();
    void programIconOffersEverySize();
};

void TestIcons::resourcesRegisteredByLinking()
{
    // No Q_INIT_RESOURCE anywhere in this test: linking the library must be enough.
    QStringList paths{QString::fromLatin1(aboutIconPath), QString::fromLatin1(programIconPath)};
    for (const auto& picture : toolbarPictures) {
        paths << QString::fromLatin1(picture.path);
    }
    for (const auto& rendering : programIconRenderings) {
        paths << QString::fromLatin1(rendering.path);
    }
    for (const QString& path : paths) {
        QVERIFY2(QFile::exists(path), qPrintable(path));
    }
}

void TestIcons::toolbarKeysInListOrder()
{
    const QStringList expected{"New",  "Open",   "Save",      "Print",      "Cut",    "Copy",       "Paste",
                               "Bold", "Italic", "Underline", "Align Left", "Center", "Align Right"};
    QStringList actual;
    for (const auto& picture : toolbarPictures) {
        actual << QString::fromLatin1(picture.key);
    }
    QCOMPARE(actual, expected);
}

void TestIcons::toolbarPicture_data()
{
    QTest::addColumn<QString>("key");
    for (const auto& picture : toolbarPictures) {
        QTest::newRow(picture.key) << QString::fromLatin1(picture.key);
    }
}

void TestIcons::toolbarPicture()
{
    QFETCH(QString, key);
    const QString path = toolbarPicturePath(key);
    QVERIFY(!path.isEmpty());
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), QSize(16, 16));

    int masked = 0;
    int black = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            QVERIFY2(palette16().contains(pixel),
                     qPrintable(QStringLiteral("%1 at (%2,%3)").arg(hex(pixel)).arg(x).arg(y)));
            masked += pixel == toolbarMaskColour ? 1 : 0;
            black += pixel == 0xFF000000 ? 1 : 0;
        }
    }
    QVERIFY2(masked > 0, "no transparent pixels");
    QVERIFY2(masked < 16 * 16, "every pixel transparent");
    QVERIFY2(black > 0, "no black outline");
}

void TestIcons::toolbarPixmapMasksExactlyTheMaskColour_data()
{
    toolbarPicture_data();
}

void TestIcons::toolbarPixmapMasksExactlyTheMaskColour()
{
    QFETCH(QString, key);
    const QImage source(toolbarPicturePath(key));
    const QPixmap pixmap = toolbarPixmap(key);
    QVERIFY(!pixmap.isNull());
    QCOMPARE(pixmap.size(), QSize(16, 16));
    QVERIFY(!pixmap.mask().isNull());

    const QImage drawn = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const bool shouldBeClear = source.pixel(x, y) == toolbarMaskColour;
            const int alpha = qAlpha(drawn.pixel(x, y));
            QVERIFY2(shouldBeClear ? alpha == 0 : alpha == 255,
                     qPrintable(QStringLiteral("(%1,%2) alpha %3").arg(x).arg(y).arg(alpha)));
            if (!shouldBeClear) {
                QCOMPARE(hex(drawn.pixel(x, y)), hex(source.pixel(x, y)));
            }
        }
    }
}

void TestIcons::toolbarPicturesAllDiffer()
{
    QSet<QString> paths;
    QList<QImage> images;
    for (const auto& picture : toolbarPictures) {
        paths.insert(QString::fromLatin1(picture.path));
        images << QImage(QString::fromLatin1(picture.path)).convertToFormat(QImage::Format_RGB32);
    }
    QCOMPARE(paths.size(), int(toolbarPictures.size()));
    for (qsizetype i = 0; i < images.size(); ++i) {
        for (qsizetype j = i + 1; j < images.size(); ++j) {
            QVERIFY2(
                images[i] != images[j],
                qPrintable(QStringLiteral("%1 == %2").arg(toolbarPictures[i].key, toolbarPictures[j].key)));
        }
    }
}

void TestIcons::unknownKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::newRow("empty") << QString();
    QTest::newRow("lower case") << QStringLiteral("new");
    QTest::newRow("leading space") << QStringLiteral(" Bold");
    QTest::newRow("without space") << QStringLiteral("AlignLeft");
    QTest::newRow("file name") << QStringLiteral("alignright");
    QTest::newRow("not in the list") << QStringLiteral("Strikeout");
}

void TestIcons::unknownKey()
{
    QFETCH(QString, key);
    QVERIFY(toolbarPicturePath(key).isEmpty());
    QVERIFY(toolbarPixmap(key).isNull());
}

void TestIcons::aboutIcon()
{
    const QImage image(QString::fromLatin1(aboutIconPath));
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(32, 32));
    QVERIFY(image.hasAlphaChannel());

    QSet<QRgb> used;
    int transparent = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) == 0) {
                ++transparent;
                continue;
            }
            QCOMPARE(qAlpha(pixel), 255);
            QVERIFY2(palette16().contains(pixel),
                     qPrintable(QStringLiteral("%1 at (%2,%3)").arg(hex(pixel)).arg(x).arg(y)));
            used.insert(pixel);
        }
    }
    QVERIFY2(used.size() <= 16, qPrintable(QString::number(used.size())));
    QVERIFY(transparent > 0);
    QVERIFY(transparent < 32 * 32);
}

void TestIcons::programIconRendering_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("size");
    for (const auto& rendering : programIconRenderings) {
        QTest::newRow(qPrintable(QString::number(rendering.size)))
            << QString::fromLatin1(rendering.path) << rendering.size;
    }
}

void TestIcons::programIconRendering()
{
    QFETCH(QString, path);
    QFETCH(int, size);
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), QSize(size, size));
    // A rounded tile on a clear background: the corner shows through (downscaling may leave a faint
    // trace there), the middle does not.
    QVERIFY(image.hasAlphaChannel());
    QVERIFY2(qAlpha(image.pixel(0, 0)) < 8, qPrintable(QString::number(qAlpha(image.pixel(0, 0)))));
    QCOMPARE(qAlpha(image.pixel(size / 2, size / 2)), 255);
}

void TestIcons::programIconOffersEverySize()
{
    const QIcon icon = programIcon();
    QVERIFY(!icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    QCOMPARE(sizes.size(), qsizetype(programIconRenderings.size()));
    for (const auto& rendering : programIconRenderings) {
        const QSize size(rendering.size, rendering.size);
        QVERIFY2(sizes.contains(size), qPrintable(QString::number(rendering.size)));
        QCOMPARE(icon.pixmap(size).size(), size);
    }
}

QTEST_MAIN(TestIcons)
#include "tst_icons.moc"
