#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class About;
}

// Version and the open-source components the client is built from.
class About : public QDialog
{
    Q_OBJECT
public:
    explicit About(QWidget *parent = nullptr);
    ~About() override;

private:
    std::unique_ptr<Ui::About> ui;
};
