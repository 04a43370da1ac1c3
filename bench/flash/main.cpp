// Times the firmware update against its floor: the 1 ms pauses actually slept
// plus the TCK cycles the job clocks at 30 MHz. The flash's busy times (0.7 ms
// per page, 150 ms per 64 KiB block) elapse inside those pauses, so they are
// part of the floor through them. Read-back is compared with the 30 MHz JTAG
// limit of 3,750,000 B/s.
#include "EmulatedFtdi.h"
#include "TestImages.h"
#include "app/AppPlatform.h"
#include "maintenance/Blobs.h"
#include "maintenance/FirmwareJobs.h"
#include "maintenance/PrintSink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr double kJtagBytesPerSecond = 30e6 / 8;

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// TCK cycles of an MPSSE byte stream (the commands the link sends).
qint64 tckCycles(const std::vector<uint8_t> &bytes, size_t from, size_t to)
{
    qint64 cycles = 0;
    for (size_t i = from; i < to;) {
        const uint8_t op = bytes[i];
        switch (op) {
        case 0x3D: {
            const size_t n = size_t(bytes[i + 1] | bytes[i + 2] << 8) + 1;
            cycles += qint64(n) * 8;
            i += 3 + n;
            break;
        }
        case 0x4E:
        case 0x6F:
            cycles += bytes[i + 1] + 1;
            i += 3;
            break;
        case 0x8F:
            cycles += 8 * qint64(bytes[i + 1] | bytes[i + 2] << 8);
            i += 3;
            break;
        case 0x8E:
            cycles += bytes[i + 1];
            i += 2;
            break;
        case 0x86:
        case 0x80: i += 3; break;
        default: i += 1; break;
        }
    }
    return cycles;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    QTemporaryDir dir;
    EmulatedUnit::Options options;
    options.flashFile = dir.filePath(QStringLiteral("flash.bin")).toStdString();
    options.virtualTime = false;
    auto unit = std::make_shared<EmulatedUnit>(options);
    ftdiTransportFactory() = emulatedFtdiFactory(unit);

    qint64 pauseNs = 0;
    QElapsedTimer pauseClock;
    const Blobs blobs(TestImages::passphrase());
    FirmwareJobs::Hooks hooks;
    hooks.pauseOneMs = [&] {
        pauseClock.start();
        AppPlatform::sleepOneMs();
        pauseNs += pauseClock.nsecsElapsed();
    };
    FirmwareJobs jobs(&blobs, hooks);
    if (!jobs.startUpdate()) {
        std::fprintf(stderr, "flash: the update did not start: %s\n", qPrintable(jobs.imageError()));
        return 1;
    }

    using Step = FirmwareJobs::UpdateStep;
    QElapsedTimer clock;
    qint64 phaseStart[8] = {}, phasePause[8] = {};
    size_t phaseBytes[8] = {};
    qint64 phaseEnd[8] = {}, phasePauseEnd[8] = {};
    size_t phaseBytesEnd[8] = {};
    Step last = Step::Idle;
    clock.start();
    while (jobs.busy()) {
        PrintSink::takePending();
        jobs.tick();
        const Step now = jobs.updateStep();
        if (now != last) {
            const size_t written = unit->written(0).size();
            phaseEnd[int(last)] = clock.nsecsElapsed();
            phasePauseEnd[int(last)] = pauseNs;
            phaseBytesEnd[int(last)] = written;
            phaseStart[int(now)] = clock.nsecsElapsed();
            phasePause[int(now)] = pauseNs;
            phaseBytes[int(now)] = written;
            last = now;
        }
    }
    const std::vector<uint8_t> bytes = unit->written(0);
    const auto seconds = [&](Step s) { return double(phaseEnd[int(s)] - phaseStart[int(s)]) / 1e9; };
    const double size = jobs.image().size();
    const double program = seconds(Step::Program);
    const double erase = seconds(Step::Erase);
    const double readback = seconds(Step::Readback);
    const double floor =
        double(phasePauseEnd[int(Step::Program)] - phasePause[int(Step::Program)]) / 1e9 +
        double(tckCycles(bytes, phaseBytes[int(Step::Program)], phaseBytesEnd[int(Step::Program)])) / 30e6;
    const bool pass = unit->flash().contents().size() >= size_t(size) &&
                      std::equal(jobs.image().begin(), jobs.image().end(), unit->flash().contents().begin());
    std::printf("flash: program %.2f s = %.0f B/s, %.3f of 30 MHz JTAG, floor ratio %.3f; erase %.2f s; readback %.0f "
                "B/s = %.2f of 30 MHz\n",
                program, size / program, size / program / kJtagBytesPerSecond, floor / program, erase, size / readback,
                size / readback / kJtagBytesPerSecond);
    return pass ? 0 : 2;
}
