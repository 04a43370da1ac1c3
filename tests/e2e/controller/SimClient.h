#pragma once

// The controller, the video worker and the overall status wired as the main window wires them,
// plus the settings that point the controller at a simulated unit on 127.0.0.1.
#include "SimRunner.h"

#include "app/SettingsKeys.h"
#include "discovery/LocatorSettings.h"
#include "support/ClientSettings.h"
#include "link/OverallStatus.h"
#include "link/PylonController.h"
#include "stream/PylonWorker.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <functional>
#include <memory>

namespace sim_e2e {

inline const QByteArray kKey = QByteArray::fromHex("0f1e2d3c4b5a69788796a5b4c3d2e1f0");

inline void configure(const QByteArray &key)
{
    ClientSettings::useSavedAddressOnly(key);
}

// Everything the main window would own for the link, wired the same way.
struct Client {
    Client()
    {
        controller = std::make_unique<PylonController>();
        status = std::make_unique<OverallStatus>();
        worker = new PylonWorker;
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        thread.start();
        QMetaObject::invokeMethod(worker, "startWorker", Qt::QueuedConnection);

        QObject::connect(controller.get(), &PylonController::notifyUserOfState, [this](const QString &s) {
            if (notices.isEmpty() || notices.last() != s)
                notices.append(s);
        });
        QObject::connect(controller.get(), &PylonController::connected, [this](bool c) {
            if (c)
                ++connectedTrue;
        });
        QObject::connect(controller.get(), &PylonController::badCredentials,
                         [this](const QString &h) { hints.append(h); });
        QObject::connect(controller.get(), &PylonController::connected, status.get(), &OverallStatus::connectionState);
        QObject::connect(controller.get(), &PylonController::registerChanged, status.get(),
                         &OverallStatus::gotUpdatedRegister);
        QObject::connect(controller.get(), &PylonController::newLrxdBytes, status.get(), &OverallStatus::gotSerialData);
        QObject::connect(controller.get(), &PylonController::newLtxdBytes, status.get(), &OverallStatus::gotSerialData);
        QObject::connect(worker, &PylonWorker::newFrame, status.get(), [this](Frame_t *f) {
            ++frames;
            status->gotDisplayData();
            worker->buffDispose(f);
        });
        QObject::connect(status.get(), &OverallStatus::notifyChange,
                         [this](OverallStatus::Status s) { statuses.append(s); });
    }
    ~Client()
    {
        controller.reset();
        thread.quit();
        thread.wait(3000);
    }

    bool waitUntil(const std::function<bool()> &pred, int timeoutMs) { return QTest::qWaitFor(pred, timeoutMs); }
    bool waitConnected(int timeoutMs = 5000)
    {
        // The state changes one tick before the "Connected" notice.
        return waitUntil(
            [this] {
                return controller->state() == PylonController::Connected && !notices.isEmpty() &&
                       notices.last() == QStringLiteral("Connected");
            },
            timeoutMs);
    }
    // Right after a keep-alive write was acknowledged: nearly 5 s before the next one.
    bool waitJustRefreshed()
    {
        return waitUntil([this] { return controller->state() == PylonController::WaitRefreshAck; }, 7000) &&
               waitConnected(2000);
    }
    QStringList noticesFrom(const QString &first) const
    {
        const int at = notices.indexOf(first);
        return at < 0 ? QStringList() : notices.mid(at);
    }

    std::unique_ptr<PylonController> controller;
    std::unique_ptr<OverallStatus> status;
    QThread thread;
    PylonWorker *worker = nullptr;
    QStringList notices;
    QStringList hints;
    QList<OverallStatus::Status> statuses;
    int connectedTrue = 0;
    int frames = 0;
};

inline QStringList simArgs(const QByteArray &key, const QStringList &extra = {})
{
    return QStringList{"--key", QString::fromLatin1(key.toHex()), "--no-mdns"} + extra;
}

} // namespace sim_e2e
using namespace sim_e2e;
