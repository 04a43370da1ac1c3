#pragma once

#include "FakeUnit.h"

#include "app/SettingsKeys.h"
#include "discovery/LocatorSettings.h"
#include "support/ClientSettings.h"
#include "link/PylonController.h"

#include <QSettings>
#include <QStringList>
#include <QTimer>

#include <memory>

// A controller set up to find a fake unit on 127.0.0.1 by the saved address, with the state
// notices it emits collected (repeats of the same notice folded into one).
struct ControllerHarness {
    static QByteArray unitKey() { return QByteArray::fromHex("00112233445566778899aabbccddeeff"); }

    static void configure(const QByteArray &storedKey) { ClientSettings::useSavedAddressOnly(storedKey); }

    explicit ControllerHarness(const QByteArray &storedKey = unitKey(), const QByteArray &peerKey = unitKey(),
                               const Clock *clock = nullptr)
    {
        configure(storedKey);
        unit = std::make_unique<FakeUnit>(peerKey);
        listening = unit->listen();
        controller = std::make_unique<PylonController>(nullptr, clock);
        QObject::connect(controller.get(), &PylonController::notifyUserOfState, [this](const QString &s) {
            if (notices.isEmpty() || notices.last() != s)
                notices.append(s);
        });
        QObject::connect(controller.get(), &PylonController::connected,
                         [this](bool c) { (c ? connectedTrue : connectedFalse)++; });
        QObject::connect(controller.get(), &PylonController::notifyUserOfAction,
                         [this](const QString &s) { actions.append(s); });
        QObject::connect(controller.get(), &PylonController::badCredentials,
                         [this](const QString &s) { credentialHints.append(s); });
    }

    bool waitConnected(int timeoutMs = 4000)
    {
        // The state changes one tick before the "Connected" notice.
        return FakeUnit::waitUntil(
            [this] {
                return controller->state() == PylonController::Connected && !notices.isEmpty() &&
                       notices.last() == QStringLiteral("Connected");
            },
            timeoutMs);
    }
    // Lets the controller's timer run n more ticks (100 ms each, more on a busy machine): with a
    // hand-moved clock, time-outs are then decided by the clock alone.
    bool waitTicks(int n)
    {
        // The tick timer is the controller's only direct QTimer child; this handler runs after its tick.
        auto *timer = controller->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
        if (!timer)
            return false;
        int seen = 0;
        auto c = QObject::connect(timer, &QTimer::timeout, [&seen] { ++seen; });
        const bool ok = FakeUnit::waitUntil([&] { return seen >= n; }, 100 * n + 5000);
        QObject::disconnect(c);
        return ok;
    }
    bool waitNotice(const QString &text, int timeoutMs)
    {
        return FakeUnit::waitUntil([&] { return notices.contains(text); }, timeoutMs);
    }
    // Notices seen after the given one (inclusive), in order.
    QStringList noticesFrom(const QString &first) const
    {
        const int at = notices.lastIndexOf(first);
        return at < 0 ? QStringList() : notices.mid(at);
    }

    std::unique_ptr<FakeUnit> unit;
    std::unique_ptr<PylonController> controller;
    bool listening = false;
    QStringList notices;
    QStringList actions;
    QStringList credentialHints;
    int connectedTrue = 0;
    int connectedFalse = 0;
};
