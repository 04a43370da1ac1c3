#include "ui/PeekPoke.h"

#include "ui_PeekPoke.h"

#include <QDebug>
#include <QMetaEnum>

PeekPoke::PeekPoke(QWidget *parent) : QDialog(parent), ui(new Ui::PeekPoke)
{
    ui->setupUi(this);
    const QMetaEnum regs = QMetaEnum::fromType<PylonController::Register>();
    for (int i = 0; i < regs.keyCount(); ++i)
        ui->reg->addItem(QString::fromLatin1(regs.key(i)), QVariant::fromValue(uint(regs.value(i))));
}

PeekPoke::~PeekPoke() = default;

PylonController::Register PeekPoke::selectedRegister() const
{
    return PylonController::Register(ui->reg->currentData().toUInt());
}

void PeekPoke::showMessage(const QString &text)
{
    ui->message->setText(text);
    ui->message->setVisible(!text.isEmpty());
}

void PeekPoke::on_peek_clicked()
{
    showMessage(QString());
    emit peek(selectedRegister());
}

void PeekPoke::on_poke_clicked()
{
    bool ok = false;
    const QString text = ui->value->text().trimmed();
    const uint value = text.toUInt(&ok, 16);
    // A typo must never become a write of 0: that could halt the unit's CPU or stop its video.
    if (!ok) {
        const QString why = QStringLiteral("Not written: \"%1\" is not a hexadecimal 32-bit value").arg(text);
        qWarning().noquote() << QStringLiteral("Poke %1 refused: \"%2\" is not a hexadecimal 32-bit value")
                                    .arg(PylonController::registerName(selectedRegister()), text);
        showMessage(why);
        return;
    }
    showMessage(QString());
    emit poke(selectedRegister(), value);
}

void PeekPoke::newData(PylonController::Register reg, uint value)
{
    Q_UNUSED(reg);
    // Any register the controller reports replaces the field, whichever is selected: the dialog shows the last
    // thing the unit said.
    ui->value->setText(QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper());
}
