// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// Scaling a fixed layout's font so that every caption is readable in full.
#include "captionfit.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

class CaptionFitTest : public QObject
{
    Q_OBJECT
private slots:
    void fitting_data();
    void fitting();
};

void CaptionFitTest::fitting_data()
{
    QTest::addColumn<QString>("buttonText");
    QTest::addColumn<QSize>("buttonSize");
    QTest::addColumn<QString>("labelText");
    QTest::addColumn<QSize>("labelSize");
    QTest::addColumn<bool>("shrinks");

    QTest::newRow("room to spare")
        << "&Close" << QSize(200, 40) << "Label" << QSize(200, 30) << false;
    QTest::newRow("narrow button")
        << "Send to other clients" << QSize(60, 40) << "L" << QSize(200, 30) << true;
    QTest::newRow("narrow label") << "OK" << QSize(200, 40) << "Received data" << QSize(30, 30)
                                  << true;
    QTest::newRow("low label") << "OK" << QSize(200, 40) << "LongData" << QSize(200, 6) << true;
}

void CaptionFitTest::fitting()
{
    QFETCH(QString, buttonText);
    QFETCH(QSize, buttonSize);
    QFETCH(QString, labelText);
    QFETCH(QSize, labelSize);
    QFETCH(bool, shrinks);

    QWidget window;
    QPushButton button(buttonText, &window);
    button.resize(buttonSize);
    QLabel label(labelText, &window);
    label.resize(labelSize);
    QLabel image(&window); // holds no caption, whatever its size
    image.resize(1, 1);

    const QFont font = CaptionFit::fittingFont(&window);
    QVERIFY(CaptionFit::captionsFit(&window, font));
    QCOMPARE(font.pointSizeF() < window.font().pointSizeF(), shrinks);
    if (shrinks) {
        // Just enough: one step larger would not fit.
        QFont larger = font;
        larger.setPointSizeF(font.pointSizeF() + CaptionFit::fontStep);
        QVERIFY(!CaptionFit::captionsFit(&window, larger));
    }
    QCOMPARE(font.family(), window.font().family());
}

QTEST_MAIN(CaptionFitTest)
#include "tst_app_captionfit.moc"
