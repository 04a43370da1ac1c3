#include "app/Frame.h"
#include "support/LogCapture.h"
#include "ui/About.h"
#include "ui/PeekPoke.h"
#include "ui/SingalBit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

namespace {
void save(QWidget &w, const QString &name)
{
    const QString dir = qEnvironmentVariable("VQ6020_BINARY_DIR", QDir::currentPath()) + "/screenshots";
    QDir().mkpath(dir);
    w.grab().save(dir + "/dialog_" + name + ".png");
}

template <typename T> T *child(QWidget &w, const char *name)
{
    T *c = w.findChild<T *>(name);
    if (!c)
        qFatal("missing child %s", name);
    return c;
}

// Parses the bit test's table text back into (ones, zeros) per bit; empty on any deviation from its layout.
QVector<QPair<quint64, quint64>> table(const QString &text)
{
    QVector<QPair<quint64, quint64>> out;
    const QStringList lines = text.split('\n');
    if (lines.size() != 18 || lines.first() != "Bit\tOnes\tZeros" || !lines.last().isEmpty())
        return {};
    for (int j = 0; j < 16; ++j) {
        const QStringList f = lines.at(j + 1).split('\t');
        if (f.size() != 3 || f.at(0) != QString("%1:").arg(j))
            return {};
        out << qMakePair(f.at(1).toULongLong(), f.at(2).toULongLong());
    }
    return out;
}

void fill(Frame_t &f, uint16_t top, uint16_t bottom)
{
    auto *px = reinterpret_cast<uint16_t *>(f.pixels.get());
    const int half = Frame_t::Width * Frame_t::Height / 2;
    std::fill(px, px + half, top);
    std::fill(px + half, px + 2 * half, bottom);
}
} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void pokeParsesHex_data();
    void pokeParsesHex();
    void peekAndShow_data();
    void peekAndShow();
    void registerList();
    void bitTest_data();
    void bitTest();
    void bitTestOffPassesFramesOn();
    void bitTestReset();
    void about();

public slots:
    void openUrl(const QUrl &url) { m_opened << url; }

private:
    QList<QUrl> m_opened;
};

void TestDialogs::initTestCase()
{
    qRegisterMetaType<PylonController::Register>("PylonController::Register");
    qRegisterMetaType<Frame_t *>("Frame_t*");
}

void TestDialogs::pokeParsesHex_data()
{
    QTest::addColumn<QString>("reg");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("written");
    QTest::addColumn<uint>("value");

    QTest::newRow("ff into scratch") << "ctrl_scratch"
                                     << "ff" << true << 0x000000FFu;
    QTest::newRow("upper case") << "da_pwrk_click"
                                << "DEADBEEF" << true << 0xDEADBEEFu;
    QTest::newRow("surrounding blanks") << "ctrl_scratch"
                                        << "  1a " << true << 0x1Au;
    QTest::newRow("full width") << "timer0_load"
                                << "ffffffff" << true << 0xFFFFFFFFu;
    QTest::newRow("zero typed is written") << "ctrl_halt"
                                           << "0" << true << 0u;
    QTest::newRow("empty refused") << "ctrl_halt"
                                   << "" << false << 0u;
    QTest::newRow("not hex refused") << "ctrl_halt"
                                     << "fg" << false << 0u;
    QTest::newRow("decimal word refused") << "dc_capture_control_csr"
                                          << "off" << false << 0u;
    QTest::newRow("33 bits refused") << "ctrl_scratch"
                                     << "100000000" << false << 0u;
    QTest::newRow("negative refused") << "ctrl_scratch"
                                      << "-1" << false << 0u;
    QTest::newRow("two numbers refused") << "ctrl_scratch"
                                         << "12 34" << false << 0u;
}

void TestDialogs::pokeParsesHex()
{
    QFETCH(QString, reg);
    QFETCH(QString, text);
    QFETCH(bool, written);
    QFETCH(uint, value);

    LogCapture log;
    PeekPoke dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QSignalSpy pokes(&dlg, &PeekPoke::poke);
    QSignalSpy peeks(&dlg, &PeekPoke::peek);
    auto *combo = child<QComboBox>(dlg, "reg");
    combo->setCurrentText(reg);
    QCOMPARE(combo->currentText(), reg);
    child<QLineEdit>(dlg, "value")->setText(text);
    QTest::mouseClick(child<QPushButton>(dlg, "poke"), Qt::LeftButton);
    QCOMPARE(peeks.count(), 0);
    auto *message = child<QLabel>(dlg, "message");
    if (written) {
        QCOMPARE(pokes.count(), 1);
        QCOMPARE(pokes.at(0).at(0).value<PylonController::Register>(),
                 PylonController::Register(combo->currentData().toUInt()));
        QCOMPARE(PylonController::registerName(pokes.at(0).at(0).value<PylonController::Register>()), reg);
        QCOMPARE(pokes.at(0).at(1).toUInt(), value);
        QVERIFY(!message->isVisible());
        QVERIFY(!log.contains("refused"));
    } else {
        QCOMPARE(pokes.count(), 0);
        QVERIFY(message->isVisible());
        QVERIFY2(message->text().contains("Not written"), qPrintable(message->text()));
        QCOMPARE(log.count(QString("Poke %1 refused").arg(reg)), 1);
        save(dlg, "peekpoke_refused");
        // A corrected value goes through and clears the complaint.
        child<QLineEdit>(dlg, "value")->setText("7");
        QTest::mouseClick(child<QPushButton>(dlg, "poke"), Qt::LeftButton);
        QCOMPARE(pokes.count(), 1);
        QCOMPARE(pokes.at(0).at(1).toUInt(), 7u);
        QVERIFY(!message->isVisible());
    }
}

void TestDialogs::peekAndShow_data()
{
    QTest::addColumn<QString>("reg");
    QTest::addColumn<uint>("reported");
    QTest::addColumn<QString>("shown");

    QTest::newRow("scratch ff") << "ctrl_scratch" << 0xFFu << "000000FF";
    QTest::newRow("zero") << "da_host_sense" << 0u << "00000000";
    QTest::newRow("letters upper case") << "da_firmware_version" << 0xabcdef12u << "ABCDEF12";
    QTest::newRow("top bit") << "timer0_value" << 0x80000000u << "80000000";
}

void TestDialogs::peekAndShow()
{
    QFETCH(QString, reg);
    QFETCH(uint, reported);
    QFETCH(QString, shown);

    PeekPoke dlg;
    QSignalSpy peeks(&dlg, &PeekPoke::peek);
    auto *combo = child<QComboBox>(dlg, "reg");
    combo->setCurrentText(reg);
    QTest::mouseClick(child<QPushButton>(dlg, "peek"), Qt::LeftButton);
    QCOMPARE(peeks.count(), 1);
    QCOMPARE(PylonController::registerName(peeks.at(0).at(0).value<PylonController::Register>()), reg);

    // Whatever register the controller reports lands in the field, selected or not.
    dlg.newData(PylonController::timer0_uptime_latch, 0x1234);
    QCOMPARE(child<QLineEdit>(dlg, "value")->text(), QString("00001234"));
    dlg.newData(PylonController::Register(combo->currentData().toUInt()), reported);
    QCOMPARE(child<QLineEdit>(dlg, "value")->text(), shown);
}

void TestDialogs::registerList()
{
    PeekPoke dlg;
    QCOMPARE(dlg.windowTitle(), QString("Dialog"));
    QCOMPARE(dlg.size(), QSize(491, 102));
    auto *combo = child<QComboBox>(dlg, "reg");
    QCOMPARE(combo->count(), 28);
    QCOMPARE(combo->itemText(0), QString("ctrl_reset"));
    QCOMPARE(combo->itemData(0).toUInt(), 0xF0000000u);
    QCOMPARE(combo->itemText(6), QString("da_host_sense"));
    QCOMPARE(combo->itemData(6).toUInt(), 0xF0000808u);
    QCOMPARE(combo->itemText(27), QString("timer0_uptime_cycles_lsp"));
    QCOMPARE(combo->itemData(27).toUInt(), 0xF0006028u);
    QCOMPARE(child<QPushButton>(dlg, "peek")->text(), QString("Peek"));
    QCOMPARE(child<QPushButton>(dlg, "poke")->text(), QString("Poke"));

    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    save(dlg, "peekpoke");
    auto *box = child<QDialogButtonBox>(dlg, "buttonBox");
    QCOMPARE(box->buttons().size(), 1);
    QTest::mouseClick(box->button(QDialogButtonBox::Close), Qt::LeftButton);
    QVERIFY(!dlg.isVisible());
}

void TestDialogs::bitTest_data()
{
    QTest::addColumn<uint>("top");    // pixel value of the upper half of the screen
    QTest::addColumn<uint>("bottom"); // and of the lower half
    QTest::addColumn<int>("frames");

    QTest::newRow("white, 1 frame") << 0xFFFFu << 0xFFFFu << 1;
    QTest::newRow("white, 5 frames") << 0xFFFFu << 0xFFFFu << 5;
    QTest::newRow("black, 3 frames") << 0x0000u << 0x0000u << 3;
    QTest::newRow("pure red: only bits 11-15") << 0xF800u << 0xF800u << 2;
    QTest::newRow("lower half white") << 0x0000u << 0xFFFFu << 20;
}

void TestDialogs::bitTest()
{
    QFETCH(uint, top);
    QFETCH(uint, bottom);
    QFETCH(int, frames);

    SingalBit bit;
    QCOMPARE(bit.windowTitle(), QString(" Signal BIT Test"));
    QCOMPARE(child<QCheckBox>(bit, "counting")->text(), QString("Random Sampling"));
    bit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bit));
    QTest::mouseClick(child<QCheckBox>(bit, "counting"), Qt::LeftButton);
    QVERIFY(child<QCheckBox>(bit, "counting")->isChecked());

    Frame_t f;
    fill(f, uint16_t(top), uint16_t(bottom));
    QSignalSpy out(&bit, &SingalBit::buffDispose);
    for (int i = 0; i < frames; ++i) {
        bit.newBuff(&f);
        QCOMPARE(out.count(), i + 1); // passed on within the call
    }
    for (const auto &args : out)
        QCOMPARE(args.at(0).value<Frame_t *>(), &f);

    auto *colors = child<QPlainTextEdit>(bit, "colors");
    QTRY_VERIFY_WITH_TIMEOUT(!table(colors->toPlainText()).isEmpty() &&
                                 table(colors->toPlainText()).at(0).first + table(colors->toPlainText()).at(0).second ==
                                     quint64(1024 * frames),
                             600);
    save(bit, QString("bittest_%1").arg(QTest::currentDataTag()).replace(QRegularExpression("[^A-Za-z0-9-]+"), "_"));
    const auto t = table(colors->toPlainText());
    const quint64 total = 1024ull * frames;
    for (int j = 0; j < 16; ++j) {
        const bool t1 = top & (1u << j), b1 = bottom & (1u << j);
        QCOMPARE(t[j].first + t[j].second, total);
        if (t1 == b1) {
            QCOMPARE(t[j].first, t1 ? total : 0);
            QCOMPARE(t[j].second, t1 ? 0 : total);
        } else {
            // Samples must come from the whole screen, not from one part of it.
            QVERIFY2(t[j].first > total * 4 / 10 && t[j].first < total * 6 / 10,
                     qPrintable(QString::number(t[j].first)));
        }
        QCOMPARE(bit.ones(j), t[j].first);
    }
}

void TestDialogs::bitTestOffPassesFramesOn()
{
    SingalBit bit;
    QVERIFY(!child<QCheckBox>(bit, "counting")->isChecked());
    Frame_t a, b;
    fill(a, 0xFFFF, 0xFFFF);
    QSignalSpy out(&bit, &SingalBit::buffDispose);
    bit.newBuff(&a);
    QCOMPARE(out.count(), 1);
    bit.newBuff(&b);
    bit.newBuff(nullptr);
    QCOMPARE(out.count(), 3);
    QCOMPARE(out.at(0).at(0).value<Frame_t *>(), &a);
    QCOMPARE(out.at(1).at(0).value<Frame_t *>(), &b);

    // Nothing counted, and the table is still rewritten on its own.
    auto *colors = child<QPlainTextEdit>(bit, "colors");
    colors->setPlainText("scribbled");
    QTRY_VERIFY_WITH_TIMEOUT(!table(colors->toPlainText()).isEmpty(), 600);
    for (const auto &row : table(colors->toPlainText()))
        QCOMPARE(row, qMakePair(quint64(0), quint64(0)));
}

void TestDialogs::bitTestReset()
{
    SingalBit bit;
    bit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bit));
    child<QCheckBox>(bit, "counting")->setChecked(true);
    Frame_t f;
    fill(f, 0xFFFF, 0xFFFF);
    bit.newBuff(&f);
    bit.newBuff(&f);
    QCOMPARE(bit.ones(0), 2048u);
    QTest::mouseClick(child<QPushButton>(bit, "reset"), Qt::LeftButton);
    auto *colors = child<QPlainTextEdit>(bit, "colors");
    QTRY_VERIFY_WITH_TIMEOUT(!table(colors->toPlainText()).isEmpty() && table(colors->toPlainText()).at(15).first == 0,
                             600);
    for (const auto &row : table(colors->toPlainText()))
        QCOMPARE(row, qMakePair(quint64(0), quint64(0)));
    // Counting goes on from zero.
    bit.newBuff(&f);
    QTRY_VERIFY_WITH_TIMEOUT(table(colors->toPlainText()).value(15).first == 1024, 600);
}

void TestDialogs::about()
{
    About dlg;
    QCOMPARE(dlg.windowTitle(), QString("About VQ6020"));
    QCOMPARE(dlg.size(), QSize(294, 190));
    QCOMPARE(child<QLabel>(dlg, "verisonLabel")->text(), QString("Version: 1.0.31"));
    QCOMPARE(child<QLabel>(dlg, "label")->text(), QString("About VQ6020"));
    auto *list = child<QLabel>(dlg, "label_2");
    QCOMPARE(list->textFormat(), Qt::RichText);
    QVERIFY(list->openExternalLinks());
    const QString html = list->text();
    QVERIFY(html.contains("Open Source Components / Libraries / Code:"));
    for (const char *name :
         {"ecpprog", "QMdnsEngine", "libftdi1", "portmidi", "mbedtls", "ffmpeg/libav", "Qt GUI Framework"})
        QVERIFY2(html.contains(QString(">%1</a>").arg(name)), name);
    QCOMPARE(html.count(">with modifications</a>"), 2);
    QCOMPARE(html.count("<a href=\"https://"), 9);

    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    save(dlg, "about");

    // A link reached by keyboard opens in the system browser.
    QDesktopServices::setUrlHandler("https", this, "openUrl");
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Tab);
    QTest::keyClick(list, Qt::Key_Return);
    QDesktopServices::unsetUrlHandler("https");
    QCOMPARE(m_opened.size(), 1);
    QCOMPARE(m_opened.first().host(), QString("github.com"));
}

QTEST_MAIN(TestDialogs)
#include "tst_Dialogs.moc"
