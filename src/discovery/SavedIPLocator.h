#pragma once

#include "discovery/LocatorStrategy.h"

#include <QSettings>
#include <QTimer>

// The address the user typed into the preferences. 0.0.0.0 (the default) means "none saved".
class SavedIPLocator : public LocatorStrategy
{
    Q_OBJECT
public:
    explicit SavedIPLocator(QObject *parent = nullptr);

public slots:
    void startLookup() override;

private:
    QSettings m_settings;
    QTimer m_noAddressTimer;
};
