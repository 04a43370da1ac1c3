// Receiver benchmark: how fast the video worker takes in the screen stream without
// losing a line, and what it costs at the unit's 60 frames per second, side by side
// with a minimal reference receiver (a bare recvmmsg loop copying lines into a frame).
//
//   bench_receiver [--seconds S] [--trial-ms T] [--no-portable]
//
// Binds the video port, so run it through tests/netns-run. It reports; it never fails
// because the machine is slow.

#include "app/Frame.h"
#include "stream/PylonWorker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {
constexpr int kLines = 272;
constexpr int kDatagram = 966;
constexpr quint16 kPort = 1337;

int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t threadCpuNs(pthread_t t)
{
    clockid_t clk;
    if (pthread_getcpuclockid(t, &clk) != 0)
        return 0;
    timespec ts;
    clock_gettime(clk, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Datagrams the kernel dropped for want of receive buffer space, in this namespace.
long long udpReceiveBufferErrors()
{
    FILE *f = fopen("/proc/net/snmp", "r");
    if (!f)
        return -1;
    char header[1024], values[1024];
    long long result = -1;
    while (fgets(header, sizeof header, f)) {
        if (strncmp(header, "Udp:", 4) != 0 || !fgets(values, sizeof values, f))
            continue;
        int column = 0, wanted = -1;
        for (char *save = nullptr, *tok = strtok_r(header, " \n", &save); tok;
             tok = strtok_r(nullptr, " \n", &save), ++column)
            if (strcmp(tok, "RcvbufErrors") == 0)
                wanted = column;
        column = 0;
        for (char *save = nullptr, *tok = strtok_r(values, " \n", &save); tok;
             tok = strtok_r(nullptr, " \n", &save), ++column)
            if (column == wanted)
                result = atoll(tok);
        break;
    }
    fclose(f);
    return result;
}

// Sends frames as the unit does: a burst of 272 line datagrams per frame period. Each
// line's pixels start with its frame number, so a receiver can tell a stale line.
class Blaster
{
public:
    Blaster() : m_data(size_t(kLines) * kDatagram)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        int big = 16 * 1024 * 1024;
        setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(m_fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    ~Blaster() { close(m_fd); }

    // Sends `frames` frames at `fps`; returns the datagrams sent.
    long long run(double fps, int frames, uint16_t firstFrame)
    {
        long long sent = 0;
        const int64_t start = nowNs();
        const double periodNs = 1e9 / fps;
        for (int i = 0; i < frames; ++i) {
            const int64_t due = start + int64_t(i * periodNs);
            while (nowNs() < due) {
                const int64_t left = due - nowNs();
                if (left > 200000) {
                    timespec ts{0, long(left - 100000)};
                    nanosleep(&ts, nullptr);
                }
            }
            sent += sendFrame(uint16_t(firstFrame + i));
        }
        return sent;
    }

private:
    int sendFrame(uint16_t frameNumber)
    {
        constexpr int kBatch = 68;
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        for (int line = 0; line < kLines; ++line) {
            uint8_t *d = m_data.data() + size_t(line) * kDatagram;
            d[2] = uint8_t(frameNumber), d[3] = uint8_t(frameNumber >> 8);
            d[4] = uint8_t(line), d[5] = uint8_t(line >> 8);
            d[6] = uint8_t(frameNumber), d[7] = uint8_t(frameNumber >> 8);
        }
        int sent = 0;
        for (int base = 0; base < kLines; base += kBatch) {
            for (int i = 0; i < kBatch; ++i) {
                iov[i] = {m_data.data() + size_t(base + i) * kDatagram, kDatagram};
                msgs[i] = {};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            int done = 0;
            while (done < kBatch) {
                const int n = sendmmsg(m_fd, msgs + done, unsigned(kBatch - done), 0);
                if (n <= 0)
                    break;
                done += n;
            }
            sent += done;
        }
        return sent;
    }

    int m_fd = -1;
    std::vector<uint8_t> m_data;
};

struct Trial {
    long long sent = 0;
    double sendSeconds = 0; // the blaster may fall behind the asked rate: this is the real one
    double rate() const { return sendSeconds > 0 ? double(sent) / sendSeconds : 0; }
    long long framesComplete = 0; // emitted with every line of their own frame number
    long long framesExpected = 0;
    long long kernelDrops = 0;
    double cpuPercent = 0;
    bool clean() const { return kernelDrops == 0 && framesComplete == framesExpected; }
};

bool frameIsWhole(const uint8_t *pixels, uint16_t frameNumber)
{
    for (int line = 0; line < kLines; ++line) {
        const uint8_t *p = pixels + size_t(line) * Frame_t::Stride;
        if ((p[0] | (p[1] << 8)) != frameNumber)
            return false;
    }
    return true;
}

// A receiver under test: started once, then fed trials.
class Subject
{
public:
    virtual ~Subject() = default;
    virtual const char *name() const = 0;
    virtual pthread_t thread() const = 0;
    virtual long long complete() = 0; // whole frames so far
};

// The bare minimum: blocking recvmmsg, copy each line into one frame buffer, check the
// frame when its last line arrives.
class ReferenceReceiver : public Subject
{
public:
    ReferenceReceiver()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        int want = PylonWorker::kRequestedReceiveBuffer;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
        timeval tv{0, 100000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(kPort);
        if (bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            perror("reference bind");
        m_thread = std::thread([this] { loop(); });
        while (!m_started.load())
            usleep(1000);
    }
    ~ReferenceReceiver() override
    {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    const char *name() const override { return "reference"; }
    pthread_t thread() const override { return m_handle; }
    long long complete() override { return m_complete.load(); }

private:
    void loop()
    {
        m_handle = pthread_self();
        m_started = true;
        constexpr int kBatch = 64;
        std::vector<uint8_t> buffers(size_t(kBatch) * 1024);
        std::unique_ptr<uint8_t[]> frame(new uint8_t[Frame_t::Bytes]());
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        while (!m_stop.load()) {
            for (int i = 0; i < kBatch; ++i) {
                iov[i] = {buffers.data() + size_t(i) * 1024, 1024};
                msgs[i] = {};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = recvmmsg(m_fd, msgs, kBatch, MSG_WAITFORONE, nullptr);
            for (int i = 0; i < n; ++i) {
                const uint8_t *d = buffers.data() + size_t(i) * 1024;
                if (msgs[i].msg_len != kDatagram)
                    continue;
                const int line = d[4] | (d[5] << 8);
                if (line >= kLines)
                    continue;
                memcpy(frame.get() + size_t(line) * Frame_t::Stride, d + 6, Frame_t::Stride);
                if (line == kLines - 1 && frameIsWhole(frame.get(), uint16_t(d[2] | (d[3] << 8))))
                    ++m_complete;
            }
        }
    }

    int m_fd = -1;
    std::thread m_thread;
    pthread_t m_handle{};
    std::atomic<bool> m_started{false}, m_stop{false};
    std::atomic<long long> m_complete{0};
};

// The client's own worker, set up as its window does: own thread, queued start, every
// frame handed straight back as the end of the chain would.
class WorkerSubject : public QObject, public Subject
{
    Q_OBJECT
public:
    WorkerSubject(PylonWorker::ReceivePath path, const char *name) : m_name(name)
    {
        m_worker = new PylonWorker(path);
        m_worker->moveToThread(&m_thread);
        connect(m_worker, &PylonWorker::newFrame, this, &WorkerSubject::onFrame, Qt::DirectConnection);
        connect(this, &WorkerSubject::giveBack, m_worker, &PylonWorker::buffDispose, Qt::QueuedConnection);
        connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
        m_thread.start();
        QMetaObject::invokeMethod(m_worker, "startWorker", Qt::BlockingQueuedConnection);
        QMetaObject::invokeMethod(
            m_worker, [this] { m_handle = pthread_self(); }, Qt::BlockingQueuedConnection);
    }
    ~WorkerSubject() override
    {
        m_thread.quit();
        m_thread.wait();
    }
    const char *name() const override { return m_name; }
    pthread_t thread() const override { return m_handle; }
    long long complete() override { return m_complete.load(); }

signals:
    void giveBack(Frame_t *f);

private:
    // Runs in the worker thread; the check stands in for the display's read of the frame.
    void onFrame(Frame_t *f)
    {
        if (frameIsWhole(f->pixels.get(), f->frameNumber))
            ++m_complete;
        emit giveBack(f);
    }

    const char *m_name;
    QThread m_thread;
    PylonWorker *m_worker = nullptr;
    pthread_t m_handle{};
    std::atomic<long long> m_complete{0};
};

Trial runTrial(Subject &s, Blaster &blaster, double fps, int frames, uint16_t &frameNumber)
{
    Trial t;
    const long long drops0 = udpReceiveBufferErrors();
    const long long complete0 = s.complete();
    const int64_t cpu0 = threadCpuNs(s.thread());
    const int64_t wall0 = nowNs();
    t.sent = blaster.run(fps, frames, frameNumber);
    t.sendSeconds = double(nowNs() - wall0) / 1e9;
    frameNumber = uint16_t(frameNumber + frames);
    // Let the receiver drain what is queued before judging.
    int64_t settle = nowNs() + 2000000000LL;
    while (s.complete() - complete0 < frames && nowNs() < settle)
        usleep(1000);
    usleep(20000);
    const int64_t wall = nowNs() - wall0;
    t.cpuPercent = 100.0 * double(threadCpuNs(s.thread()) - cpu0) / double(wall);
    t.framesExpected = frames;
    t.framesComplete = s.complete() - complete0;
    t.kernelDrops = udpReceiveBufferErrors() - drops0;
    return t;
}

// Highest datagram rate actually sent without losing a line: ask for more frames per
// second (272-line bursts) by half until a trial loses lines, then narrow the gap.
double maxCleanRate(Subject &s, Blaster &blaster, int trialMs, uint16_t &frameNumber)
{
    double best = 0;
    auto clean = [&](double fps) {
        const int frames = std::max(30, int(fps * trialMs / 1000));
        const Trial t = runTrial(s, blaster, fps, frames, frameNumber);
        fprintf(stderr, "  %-9s asked %5.0f fps, sent %8.0f dg/s: %lld/%lld whole frames, %lld kernel drops\n",
                s.name(), fps, t.rate(), t.framesComplete, t.framesExpected, t.kernelDrops);
        if (t.clean())
            best = std::max(best, t.rate());
        return t.clean();
    };
    double good = 0, bad = 0;
    for (double fps = 120; fps < 20000; fps *= 1.5) {
        if (clean(fps)) {
            good = fps;
        } else {
            bad = fps;
            break;
        }
    }
    if (bad == 0)
        return best;
    for (int i = 0; i < 4 && bad - good > 20; ++i) {
        const double mid = (good + bad) / 2;
        (clean(mid) ? good : bad) = mid;
    }
    return best;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int seconds = 10, trialMs = 700;
    bool portable = true;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = args[++i].toInt();
        else if (args[i] == QLatin1String("--trial-ms") && i + 1 < args.size())
            trialMs = args[++i].toInt();
        else if (args[i] == QLatin1String("--no-portable"))
            portable = false;
    }
    Blaster blaster;
    uint16_t frameNumber = 1;

    double workerMax, referenceMax, portableMax = -1;
    Trial workerAt60, referenceAt60;
    {
        WorkerSubject worker(PylonWorker::defaultReceivePath(), "worker");
        fprintf(stderr, "worker at 60 fps for %d s\n", seconds);
        workerAt60 = runTrial(worker, blaster, 60, 60 * seconds, frameNumber);
        fprintf(stderr, "  %lld/%lld whole frames, %lld kernel drops, %.2f%% cpu\n", workerAt60.framesComplete,
                workerAt60.framesExpected, workerAt60.kernelDrops, workerAt60.cpuPercent);
        workerMax = maxCleanRate(worker, blaster, trialMs, frameNumber);
    }
    {
        ReferenceReceiver reference;
        fprintf(stderr, "reference at 60 fps for %d s\n", std::min(seconds, 5));
        referenceAt60 = runTrial(reference, blaster, 60, 60 * std::min(seconds, 5), frameNumber);
        fprintf(stderr, "  %lld/%lld whole frames, %lld kernel drops, %.2f%% cpu\n", referenceAt60.framesComplete,
                referenceAt60.framesExpected, referenceAt60.kernelDrops, referenceAt60.cpuPercent);
        referenceMax = maxCleanRate(reference, blaster, trialMs, frameNumber);
    }
    if (portable) {
        WorkerSubject worker(PylonWorker::ReceivePath::Portable, "portable");
        portableMax = maxCleanRate(worker, blaster, trialMs, frameNumber);
        fprintf(stderr, "portable (QUdpSocket) path: %.0f dg/s max\n", portableMax);
    }
    fprintf(stderr, "60 fps run %s: %lld/%lld whole frames, %lld kernel drops\n",
            workerAt60.clean() ? "clean" : "LOST LINES", workerAt60.framesComplete, workerAt60.framesExpected,
            workerAt60.kernelDrops);
    printf("receiver: %.0f dg/s max, %.2f of reference, %.2f%% cpu at 60fps\n", workerMax,
           referenceMax > 0 ? workerMax / referenceMax : 0.0, workerAt60.cpuPercent);
    return 0;
}

#include "main.moc"
