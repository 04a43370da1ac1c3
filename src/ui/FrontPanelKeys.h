#pragma once

#include <QByteArray>
#include <QString>

// What an on-screen front-panel key injects, read from its object name. The name carries the key's data so the form
// alone decides which key a button is: "fpb_Notch_0e02" is the key "Notch" with code 0x0E02; the Minimal view
// repeats keys as "fpb2_...". A press puts FE, group, mask, FD on the front-panel bus; a release sends the group
// with mask 00, which lets every key of that group go.
struct FrontPanelKey {
    bool valid = false;
    QString name;       // middle part of the object name, e.g. "Notch"
    QByteArray press;   // e.g. FE 0E 02 FD
    QByteArray release; // e.g. FE 0E 00 FD

    static FrontPanelKey fromObjectName(const QString &objectName);
};
