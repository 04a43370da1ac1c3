#pragma once

#include "ui/RotaryAccumulator.h"

#include <QDial>
#include <QList>
#include <QWidget>

// The main window's six dials by their object names, as a top-level widget of their own: where the script API finds
// them. Each relative dial feeds an accumulator as in the window, so a test reads the net ticks a controller would
// get, and records every value the dial takes.
class DialPanel : public QWidget
{
public:
    struct Dial {
        QDial *dial;
        RotaryAccumulator *accumulator;
        QList<int> moves;
        int net = 0;
    };

    DialPanel()
    {
        add("mainDial", 359, true);
        add("multiDial", 19, true);
        add("bpf_in", 19, true);
        add("bpf_out", 19, true);
        add("volume", 62, false);
        add("rfsql", 252, false);
    }
    Dial &operator[](const char *name)
    {
        for (Dial &d : m_dials)
            if (d.dial->objectName() == QLatin1String(name))
                return d;
        return m_dials.first();
    }

private:
    void add(const char *name, int maximum, bool wrapping)
    {
        Dial d{new QDial(this), new RotaryAccumulator(this), {}, 0};
        d.dial->setObjectName(QLatin1String(name));
        d.dial->setRange(0, maximum);
        d.dial->setWrapping(wrapping);
        d.accumulator->setMax(maximum);
        m_dials.append(d);
        const int i = m_dials.size() - 1;
        QObject::connect(d.dial, &QDial::valueChanged, d.accumulator, &RotaryAccumulator::input);
        QObject::connect(d.dial, &QDial::valueChanged, this, [this, i](int v) { m_dials[i].moves << v; });
        QObject::connect(d.accumulator, &RotaryAccumulator::output, this, [this, i](int t) { m_dials[i].net += t; });
    }
    QList<Dial> m_dials;
};
