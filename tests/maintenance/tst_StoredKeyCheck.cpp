// The periodic key check: weak keys in the settings are reported in a dialog
// within one period and removed.
#include "app/SettingsKeys.h"
#include "maintenance/StoredKeyCheck.h"

#include <QApplication>
#include <QErrorMessage>
#include <QSettings>
#include <QTextEdit>
#include <QtTest>

class tst_StoredKeyCheck : public QObject
{
    Q_OBJECT
    static QSettings settings() { return QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication); }
    static QStringList dialogs()
    {
        QStringList texts;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QErrorMessage *>(w); box && box->isVisible())
                texts << box->findChild<QTextEdit *>()->toPlainText();
        return texts;
    }

private slots:
    void initTestCase()
    {
        settings().clear();
        StoredKeyCheck::checkStoredKey();
    }

    void weakKeysAreReportedAndRemoved_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("dialog");
        QTest::newRow("15 bytes") << QByteArray(15, 'k')
                                  << "Security Key check failed (KEYLEN). Please contact developer";
        QTest::newRow("blacklisted") << QByteArray(16, '\xFF')
                                     << "Security Key check failed (BLACKLIST 1). Please contact developer";
    }

    void weakKeysAreReportedAndRemoved()
    {
        QFETCH(QByteArray, key);
        QFETCH(QString, dialog);
        for (QWidget *w : QApplication::topLevelWidgets())
            w->close();
        settings().setValue(SettingsKeys::kNetPsk, key);
        QTRY_COMPARE_WITH_TIMEOUT(dialogs(), QStringList{dialog}, StoredKeyCheck::kPeriodMs + 500);
        QVERIFY(!settings().contains(SettingsKeys::kNetPsk));
    }

    void goodKeyStays()
    {
        const QByteArray key("0123456789abcdef");
        settings().setValue(SettingsKeys::kNetPsk, key);
        QTest::qWait(StoredKeyCheck::kPeriodMs + 200);
        QCOMPARE(settings().value(SettingsKeys::kNetPsk).toByteArray(), key);
    }
};

QTEST_MAIN(tst_StoredKeyCheck)
#include "tst_StoredKeyCheck.moc"
