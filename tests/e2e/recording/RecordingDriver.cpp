// Plays the user of the real program, which it is linked with (the program's own main.cpp): once the remote desktop
// is connected it opens "Save Video/Image" and clicks "Start Recording", as a person would.
#include <QAction>
#include <QApplication>
#include <QDebug>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace {
void drive()
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll] {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            auto *state = top->findChild<QLabel *>(QStringLiteral("stateLabel"));
            auto *start = top->findChild<QPushButton *>(QStringLiteral("startstop"));
            if (!state || !start || state->text() != QLatin1String("Connected") || !start->isEnabled())
                continue;
            top->findChild<QAction *>(QStringLiteral("actionSave_mp4_Video"))->trigger();
            start->click();
            qInfo().noquote() << "Driver: clicked Start Recording";
            poll->stop();
            return;
        }
    });
    poll->start(100);
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(drive)
