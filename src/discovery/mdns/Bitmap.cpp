#include "discovery/mdns/Bitmap.h"

#include <cstring>

namespace QMdnsEngine {

class BitmapPrivate
{
public:
    quint8 length = 0;
    quint8 data[32] = {};
};

Bitmap::Bitmap() : d(new BitmapPrivate) {}

Bitmap::Bitmap(const Bitmap &other) : d(new BitmapPrivate(*other.d)) {}

Bitmap &Bitmap::operator=(const Bitmap &other)
{
    *d = *other.d;
    return *this;
}

Bitmap::~Bitmap() = default;

bool Bitmap::operator==(const Bitmap &other) const
{
    return d->length == other.d->length && std::memcmp(d->data, other.d->data, d->length) == 0;
}

quint8 Bitmap::length() const
{
    return d->length;
}

const quint8 *Bitmap::data() const
{
    return d->data;
}

void Bitmap::setData(quint8 length, const quint8 *data)
{
    d->length = qMin<quint8>(length, sizeof(d->data));
    std::memset(d->data, 0, sizeof(d->data));
    if (d->length > 0)
        std::memcpy(d->data, data, d->length);
}

} // namespace QMdnsEngine
