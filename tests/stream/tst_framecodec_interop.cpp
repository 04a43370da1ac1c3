// The relay codec against an independent zstd implementation: what FrameCompress sends decodes with
// python3-zstandard and with the zstd command-line tool from the first reset point on, byte for byte, and what
// python3-zstandard encodes the same way FrameDecompress decodes.

#include "stream/CodecLoop.h"

#include "ScreenRenderer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

namespace {

constexpr int kFrames = 40;
const QList<int> kResets = {6, 25}; // the first records come before any reset point, as for a late joiner

// A python that has the zstandard module: Debian's package serves the system interpreter, which need not be the
// first python3 on the path.
QString pythonWithZstandard()
{
    for (const QString &candidate : {QStringLiteral("/usr/bin/python3"), QStandardPaths::findExecutable("python3")}) {
        if (candidate.isEmpty())
            continue;
        QProcess p;
        p.start(candidate, {QStringLiteral("-c"), QStringLiteral("import zstandard")});
        if (p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return candidate;
    }
    return {};
}

bool runTool(const QString &program, const QStringList &arguments, QByteArray *out = nullptr)
{
    QProcess p;
    p.start(program, arguments);
    const bool ok = p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out)
        *out = p.readAllStandardOutput();
    if (!ok)
        qWarning().noquote() << program << arguments.join(' ') << p.readAllStandardError();
    return ok;
}

} // namespace

class TestFrameCodecInterop : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_frames;          // raw frames from the first reset point on
    QByteArray m_records;         // every record, in the peer script's format
    QList<QByteArray> m_segments; // the data of each reset point and the records after it, one zstd frame each
    QString m_python;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        ScreenRenderer renderer;
        RadioState radio;
        CodecLoop loop;
        loop.joinAt = kFrames; // only the peers decode here
        QObject::connect(&loop.comp, &FrameCompress::newCFrame, this, [&](CompressedFrameData *r) {
            const bool reset = r->has_reset && r->reset;
            const QByteArray data(reinterpret_cast<const char *>(r->data.bytes), r->data.size);
            const quint32 size = r->data.size;
            m_records += char(reset ? 1 : 0);
            m_records += QByteArray(reinterpret_cast<const char *>(&size), 4); // little-endian here
            m_records += data;
            if (reset)
                m_segments << QByteArray();
            if (!m_segments.isEmpty())
                m_segments.last() += data;
        });
        for (int i = 0; i < kFrames; ++i) {
            if (kResets.contains(i))
                loop.comp.resetContext();
            radio.frequencyHz += 1000 * (i % 3); // the whole spectrum moves now and then
            const QByteArray &pixels = renderer.render(radio, uint16_t(i));
            loop.push(pixels);
            if (i >= kResets.first())
                m_frames += pixels;
        }
        QCOMPARE(m_segments.size(), kResets.size());
        m_python = pythonWithZstandard();
    }

    void peerDecodes_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::newRow("python3-zstandard") << "python";
        QTest::newRow("zstd command line") << "cli";
    }

    void peerDecodes()
    {
        QFETCH(QString, peer);
        QByteArray decoded;
        if (peer == "python") {
            if (m_python.isEmpty())
                QSKIP("python3-zstandard is not installed (scripts/bootstrap installs it)");
            QFile records(m_dir.filePath("records"));
            QVERIFY(records.open(QIODevice::WriteOnly));
            records.write(m_records);
            records.close();
            QVERIFY(runTool(m_python, {QStringLiteral(VQ_SOURCE_DIR "/tests/stream/zstd_peer.py"),
                                       QStringLiteral("decode"), records.fileName(), m_dir.filePath("out")}));
            QFile out(m_dir.filePath("out"));
            QVERIFY(out.open(QIODevice::ReadOnly));
            decoded = out.readAll();
        } else {
            const QString zstd = QStandardPaths::findExecutable(QStringLiteral("zstd"));
            if (zstd.isEmpty())
                QSKIP("the zstd tool is not installed (scripts/bootstrap installs it)");
            // The stream never ends a zstd frame; a last, empty raw block (header 01 00 00) makes each segment a
            // complete one for a tool that wants whole frames.
            for (int i = 0; i < m_segments.size(); ++i) {
                QFile seg(m_dir.filePath(QStringLiteral("segment%1.zst").arg(i)));
                QVERIFY(seg.open(QIODevice::WriteOnly));
                seg.write(m_segments.at(i) + QByteArray::fromHex("010000"));
                seg.close();
                QByteArray out;
                QVERIFY(runTool(zstd, {QStringLiteral("-d"), QStringLiteral("-c"), seg.fileName()}, &out));
                decoded += out;
            }
        }
        QCOMPARE(decoded.size(), m_frames.size());
        QVERIFY(decoded == m_frames);
    }

    void peerEncodes()
    {
        if (m_python.isEmpty())
            QSKIP("python3-zstandard is not installed (scripts/bootstrap installs it)");
        QFile frames(m_dir.filePath("frames"));
        QVERIFY(frames.open(QIODevice::WriteOnly));
        frames.write(m_frames);
        frames.close();
        QVERIFY(runTool(m_python, {QStringLiteral(VQ_SOURCE_DIR "/tests/stream/zstd_peer.py"), QStringLiteral("encode"),
                                   frames.fileName(), m_dir.filePath("peer-records")}));
        QFile in(m_dir.filePath("peer-records"));
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray blob = in.readAll();

        FrameDecompress decomp;
        QByteArray decoded;
        QSignalSpy resets(&decomp, &FrameDecompress::needCtxReset);
        connect(&decomp, &FrameDecompress::newFrame, this, [&](Frame_t *f) {
            decoded += QByteArray(reinterpret_cast<const char *>(f->pixels.get()), Frame_t::Bytes);
            decomp.buffDispose(f);
        });
        auto record = std::make_unique<CompressedFrameData>(CompressedFrameData(CompressedFrameData_init_zero));
        for (int pos = 0; pos < blob.size();) {
            quint32 size = 0;
            std::memcpy(&size, blob.constData() + pos + 1, 4);
            QVERIFY(size <= sizeof(record->data.bytes));
            record->has_reset = record->reset = blob.at(pos) == 1;
            record->data.size = pb_size_t(size);
            std::memcpy(record->data.bytes, blob.constData() + pos + 5, size);
            decomp.newCFrame(*record);
            pos += 5 + int(size);
        }
        QCOMPARE(resets.size(), 0);
        QCOMPARE(decoded.size(), m_frames.size());
        QVERIFY(decoded == m_frames);
    }
};

QTEST_GUILESS_MAIN(TestFrameCodecInterop)
#include "tst_framecodec_interop.moc"
