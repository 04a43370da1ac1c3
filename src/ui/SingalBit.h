#pragma once

#include "app/Frame.h"

#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

namespace Ui {
class SingalBit;
}

// Counts, for each of the 16 bits of a screen pixel, how often it is one and how often zero over random samples
// of the live picture, so that a stuck or floating colour line between the radio and the capture shows up.
class SingalBit : public QWidget
{
    Q_OBJECT
public:
    static constexpr int Bits = 16;
    static constexpr int SamplesPerFrame = 1024;
    static constexpr int RefreshMs = 250;

    explicit SingalBit(QWidget *parent = nullptr);
    ~SingalBit() override;

    quint64 ones(int bit) const { return m_ones[bit]; }
    quint64 zeros(int bit) const { return m_zeros[bit]; }

signals:
    void buffDispose(Frame_t *f);

public slots:
    void newBuff(Frame_t *f);

private slots:
    void on_reset_clicked();

private:
    void refresh();

    std::unique_ptr<Ui::SingalBit> ui;
    std::array<quint64, Bits> m_ones{};
    std::array<quint64, Bits> m_zeros{};
    QTimer m_refresh;
};
