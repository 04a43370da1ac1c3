#pragma once

#include <QByteArray>
#include <QScopedPointer>

namespace QMdnsEngine {

class BitmapPrivate;

// The type bits of an NSEC record, window 0 only (types 0..255): which record
// types exist for a name, so that a peer knows not to wait for the others.
class Bitmap
{
public:
    Bitmap();
    Bitmap(const Bitmap &other);
    Bitmap &operator=(const Bitmap &other);
    ~Bitmap();

    bool operator==(const Bitmap &other) const;
    bool operator!=(const Bitmap &other) const { return !(*this == other); }

    quint8 length() const;
    const quint8 *data() const;
    // At most 32 bytes are meaningful in window 0; more are cut off.
    void setData(quint8 length, const quint8 *data);

private:
    QScopedPointer<BitmapPrivate> d;
};

} // namespace QMdnsEngine
