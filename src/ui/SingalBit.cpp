#include "ui/SingalBit.h"

#include "ui_SingalBit.h"

#include <QRandomGenerator>

namespace {
constexpr quint64 kPixels = quint64(Frame_t::Width) * Frame_t::Height;
}

// A window of its own even with a parent: the parent owns it, and as an owned window it does not keep the program
// running once the main window is closed.
SingalBit::SingalBit(QWidget *parent) : QWidget(parent, Qt::Window), ui(new Ui::SingalBit)
{
    ui->setupUi(this);
    connect(&m_refresh, &QTimer::timeout, this, &SingalBit::refresh);
    m_refresh.start(RefreshMs);
}

SingalBit::~SingalBit() = default;

void SingalBit::newBuff(Frame_t *f)
{
    if (f && ui->counting->isChecked()) {
        const auto *px = reinterpret_cast<const uint16_t *>(f->pixels.get());
        QRandomGenerator *rng = QRandomGenerator::global();
        for (int i = 0; i < SamplesPerFrame; ++i) {
            // Scaling a 32-bit random number keeps the index uniform without a modulo bias.
            const quint64 index = (quint64(rng->generate()) * kPixels) >> 32;
            const uint16_t p = px[index];
            for (int j = 0; j < Bits; ++j) {
                if (p & (1u << j))
                    ++m_ones[j];
                else
                    ++m_zeros[j];
            }
        }
    }
    // Never held: the frame goes on down the chain within this call.
    emit buffDispose(f);
}

void SingalBit::on_reset_clicked()
{
    m_ones.fill(0);
    m_zeros.fill(0);
}

void SingalBit::refresh()
{
    QString text = QStringLiteral("Bit\tOnes\tZeros\n");
    for (int j = 0; j < Bits; ++j)
        text += QStringLiteral("%1:\t%2\t%3\n").arg(j).arg(m_ones[j]).arg(m_zeros[j]);
    ui->colors->setPlainText(text);
}
