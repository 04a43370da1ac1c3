// The on-demand update check of a feed just under 1 MiB (about 4,000 items) from a local HTTPS server, against the
// same GET made by python3's urllib as the reference; the feed's parse time on its own; and the longest the GUI
// thread went without running its event loop while the check ran.
#include "settings/FeedServer.h"

#include "settings/Updater.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMainWindow>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRounds = 5;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

QByteArray bigFeed(int *items)
{
    QByteArray xml = "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" xmlns:sparkle=\"urn:bench:appcast\"><channel>\n";
    const QByteArray tail = "</channel></rss>\n";
    *items = 0;
    for (;;) {
        const QByteArray v = "1.0." + QByteArray::number(*items % 31) + "." + QByteArray::number(*items);
        const QByteArray item = "<item><title>VQ6020 " + v + "</title><link>https://example.invalid/vq6020/" + v +
                                "</link><sparkle:version>" + v + "</sparkle:version><description>Fixes.</description>" +
                                "<enclosure url=\"https://example.invalid/vq6020-" + v + ".tar.gz\" length=\"1\"/>" +
                                "</item>\n";
        if (xml.size() + item.size() + tail.size() >= Updater::kMaxFeedBytes)
            break;
        xml += item;
        ++*items;
    }
    return xml + tail;
}

double referenceFetchMs(const FeedServer &server, const QUrl &url)
{
    QProcess python;
    python.start(QStringLiteral("python3"), {"-c",
                                             "import ssl,sys,time,urllib.request\n"
                                             "c=ssl.create_default_context(cafile=sys.argv[1])\n"
                                             "t=time.perf_counter()\n"
                                             "d=urllib.request.urlopen(sys.argv[2],context=c).read()\n"
                                             "print((time.perf_counter()-t)*1000, len(d))\n",
                                             server.certificate(), url.toString()});
    python.waitForFinished(30000);
    return QString::fromLatin1(python.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0).toDouble();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTemporaryDir files;
    int items = 0;
    const QByteArray xml = bigFeed(&items);
    QFile f(files.filePath(QStringLiteral("appcast.xml")));
    if (!f.open(QIODevice::WriteOnly) || f.write(xml) != xml.size())
        return 1;
    f.close();
    FeedServer server;
    if (!server.start(files.path())) {
        std::fprintf(stderr, "%s\n", qPrintable(server.error()));
        return 1;
    }
    server.trust();
    const QUrl url = server.url(QStringLiteral("/feed/appcast.xml"));

    std::vector<double> parse;
    for (int i = 0; i < kRounds; ++i) {
        QElapsedTimer t;
        t.start();
        const Updater::Feed feed = Updater::parseAppcast(xml);
        parse.push_back(t.nsecsElapsed() / 1e6);
        if (!feed.ok || feed.items != items)
            return 1;
    }

    std::vector<double> reference;
    for (int i = 0; i < kRounds; ++i)
        reference.push_back(referenceFetchMs(server, url));

    QMainWindow window;
    auto *action = new QAction(&window);
    Updater updater(action, url);
    QSignalSpy done(&updater, &Updater::checkFinished);
    if (!done.wait(15000)) // the automatic check at start
        return 1;

    // A 1 ms timer on the GUI thread: the longest gap between its ticks is the longest the window could not repaint.
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    double stall = 0;
    bool measuring = false;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (measuring)
            stall = std::max(stall, (now - last) / 1e6);
        last = now;
    });
    ticker.start(1);

    std::vector<double> check;
    for (int i = 0; i < kRounds; ++i) {
        QTest::qWait(50);
        last = clock.nsecsElapsed();
        measuring = true;
        QElapsedTimer t;
        t.start();
        action->trigger();
        if (!done.wait(15000) || !done.last().at(0).toBool())
            return 1;
        check.push_back(t.nsecsElapsed() / 1e6);
        QTest::qWait(20); // the box's first paint belongs to the check
        measuring = false;
        for (QMessageBox *box : window.findChildren<QMessageBox *>())
            delete box;
    }
    std::printf("update: check %.1f ms (reference fetch %.1f ms), parse %.1f ms for %d items, gui max stall %.1f ms\n",
                median(check), median(reference), median(parse), items, stall);
    return 0;
}
