#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Reassembles the radio's FE <payload> FD messages from the arbitrary chunks the unit forwards from one of the
// radio's internal serial lines, and hands each complete payload to the line-specific subclass.
class SerialDecoder : public QObject
{
    Q_OBJECT
public:
    static constexpr quint8 StartByte = 0xFE;
    static constexpr quint8 EndByte = 0xFD;
    // Radio messages are a few bytes long. A payload this long has lost its end byte (or the line carries noise);
    // it is dropped instead of being collected for ever.
    static constexpr int MaxPayload = 256;

    ~SerialDecoder() override = default;

public slots:
    void newData(QByteArray chunk);

protected:
    // lineName is used in log lines only ("LRXD", "LTXD").
    explicit SerialDecoder(const QString &lineName, QObject *parent = nullptr);
    // Called once per complete, non-empty payload (start and end bytes removed).
    virtual void handlePayload(QByteArray payload) = 0;

private:
    QString m_lineName;
    bool m_idle = true;
    QByteArray m_payload;
};
