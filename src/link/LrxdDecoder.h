#pragma once

#include "link/SerialDecoder.h"

// The LRXD line: only its short status messages are known; everything else is logged for study.
class LrxdDecoder : public SerialDecoder
{
    Q_OBJECT
public:
    explicit LrxdDecoder(QObject *parent = nullptr);

protected:
    void handlePayload(QByteArray payload) override;
};
