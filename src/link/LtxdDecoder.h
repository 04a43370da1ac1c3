#pragma once

#include "link/SerialDecoder.h"

// The LTXD line: recognises the touch-screen reports; other message types are either known noise or logged.
class LtxdDecoder : public SerialDecoder
{
    Q_OBJECT
public:
    static constexpr int ScreenHeight = 272;
    static constexpr quint16 ReleaseMarker = 9999;

    explicit LtxdDecoder(QObject *parent = nullptr);

protected:
    void handlePayload(QByteArray payload) override;
};
