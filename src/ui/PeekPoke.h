#pragma once

#include "link/PylonController.h"

#include <QDialog>

#include <memory>

namespace Ui {
class PeekPoke;
}

// Reads and writes any register of the unit by name, for diagnosis.
class PeekPoke : public QDialog
{
    Q_OBJECT
public:
    explicit PeekPoke(QWidget *parent = nullptr);
    ~PeekPoke() override;

signals:
    void peek(PylonController::Register reg);
    void poke(PylonController::Register reg, uint value);

public slots:
    void newData(PylonController::Register reg, uint value);

private slots:
    void on_peek_clicked();
    void on_poke_clicked();

private:
    PylonController::Register selectedRegister() const;
    void showMessage(const QString &text);

    std::unique_ptr<Ui::PeekPoke> ui;
};
