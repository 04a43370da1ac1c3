#include "FakeBridge.h"

namespace {

class FakeTransport : public FtdiTransport
{
public:
    explicit FakeTransport(FakeBridge *bridge) : m_b(bridge) {}
    int init() override { return m_b->call(QStringLiteral("init")); }
    void deinit() override { m_b->call(QStringLiteral("deinit")); }
    int setInterface(Interface which) override { return m_b->call(QStringLiteral("interface %1").arg(which)); }
    int open(int vendor, int product) override
    {
        m_b->call(
            QStringLiteral("open %1:%2").arg(vendor, 4, 16, QLatin1Char('0')).arg(product, 4, 16, QLatin1Char('0')));
        return m_b->missingProducts.contains(product) ? -3 : 0;
    }
    int openString(const char *description) override
    {
        m_b->call(QStringLiteral("openString %1").arg(QLatin1String(description)));
        return -3;
    }
    int usbReset() override { return m_b->call(QStringLiteral("reset")); }
    int purgeBuffers() override { return m_b->call(QStringLiteral("purge")); }
    int getLatencyTimer(unsigned char *latency) override
    {
        *latency = m_b->latency;
        return m_b->call(QStringLiteral("getLatency"));
    }
    int setLatencyTimer(unsigned char latency) override
    {
        const int rc = m_b->call(QStringLiteral("setLatency %1").arg(latency));
        if (rc == 0)
            m_b->latency = latency;
        return rc;
    }
    int setBitmode(unsigned char mask, unsigned char mode) override
    {
        return m_b->call(QStringLiteral("bitmode %1 %2").arg(mask, 2, 16).arg(mode));
    }
    int disableBitbang() override { return m_b->call(QStringLiteral("disableBitbang")); }
    int writeData(const unsigned char *data, int size) override { return m_b->write(data, size); }
    int readData(unsigned char *data, int size) override { return m_b->read(data, size); }
    int setBaudRate(int) override { return 0; }
    int setLineProperties(DataBits, StopBits, Parity) override { return 0; }
    int close() override { return m_b->call(QStringLiteral("close")); }
    const char *errorString() override { return "fake error"; }

private:
    FakeBridge *m_b;
};

} // namespace

void FakeBridge::install()
{
    ftdiTransportFactory() = [this] { return std::make_unique<FakeTransport>(this); };
}

int FakeBridge::call(const QString &what)
{
    calls << what;
    return 0;
}

int FakeBridge::write(const unsigned char *data, int size)
{
    int accepted = size;
    if (writeBudget >= 0) {
        accepted = int(qMin<qint64>(size, writeBudget));
        writeBudget -= accepted;
    }
    if (accepted <= 0)
        return -4;
    writes << QByteArray(reinterpret_cast<const char *>(data), accepted);
    for (int i = 0; i < accepted; ++i)
        interpret(data[i]);
    return accepted;
}

int FakeBridge::read(unsigned char *data, int size)
{
    switch (reads) {
    case Reads::Zero: return 0;
    case Reads::Error: return -2;
    case Reads::TooMuch: return size + 1;
    case Reads::Answer: break;
    }
    const int n = qMin(size, int(m_pendingReply.size()));
    memcpy(data, m_pendingReply.constData(), size_t(n));
    m_pendingReply.remove(0, n);
    return n;
}

void FakeBridge::interpret(unsigned char byte)
{
    m_command.append(char(byte));
    const auto at = [this](int i) { return static_cast<unsigned char>(m_command.at(i)); };
    const unsigned char op = at(0);
    int length = 1;
    switch (op) {
    case 0x8A: length = 1; break;
    case 0x8E: length = 2; break;
    case 0x86:
    case 0x80:
    case 0x4E:
    case 0x6F:
    case 0x8F: length = 3; break;
    case 0x3D: length = m_command.size() < 3 ? 3 : 3 + (at(1) | at(2) << 8) + 1; break;
    default: length = 1; break;
    }
    if (m_command.size() < length)
        return;
    if (op == 0x3D) {
        for (int i = 3; i < m_command.size(); ++i) {
            unsigned char out = 0;
            for (int b = 0; b < 8; ++b)
                out |= static_cast<unsigned char>(clockTdo((at(i) >> b) & 1) << b);
            m_pendingReply += char(out);
        }
    } else if (op == 0x6F) {
        m_readRegister = static_cast<unsigned char>((m_readRegister >> 1) | (clockTdo(at(2) & 0x80) ? 0x80 : 0));
        m_pendingReply += char(m_readRegister);
    }
    m_command.clear();
}
