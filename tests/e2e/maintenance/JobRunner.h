#pragma once

#include "EmulatedFtdi.h"
#include "maintenance/FirmwareJobs.h"
#include "maintenance/PrintSink.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// Steps the jobs as the Firmware window does (pending prints first, then one
// step) against an emulated unit in virtual time, and keeps the status log.
struct JobRunner {
    explicit JobRunner(const Blobs *blobs, EmulatedUnit::Options options = EmulatedUnit::Options())
    {
        options.flashFile = dir.filePath(QStringLiteral("flash.bin")).toStdString();
        unit = std::make_shared<EmulatedUnit>(options);
        ftdiTransportFactory() = emulatedFtdiFactory(unit);
        PrintSink::takePending();
        FirmwareJobs::Hooks hooks;
        hooks.statusLine = [this](const QString &line) { log << line; };
        hooks.pauseOneMs = unit->oneMsPause();
        jobs = std::make_unique<FirmwareJobs>(blobs, hooks);
    }

    void tick()
    {
        if (PrintSink::pending())
            log << PrintSink::takePending();
        jobs->tick();
    }
    // Runs the job out and shows the last prints, as the next tick would.
    int runToIdle(int limit = 20000)
    {
        int ticks = 0;
        while (jobs->busy() && ticks < limit) {
            tick();
            ++ticks;
        }
        tick();
        return ticks;
    }
    QByteArray flash() const
    {
        const auto &mem = unit->flash().contents();
        return QByteArray(reinterpret_cast<const char *>(mem.data()), int(mem.size()));
    }
    void load(uint32_t address, const QByteArray &bytes)
    {
        unit->flash().load(address, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    QString flashFile() const { return dir.filePath(QStringLiteral("flash.bin")); }

    QTemporaryDir dir;
    QStringList log; // outlives the jobs, whose destructor still reports
    std::shared_ptr<EmulatedUnit> unit;
    std::unique_ptr<FirmwareJobs> jobs;
};
