#include "ui/About.h"

#include "app/SettingsKeys.h"
#include "ui_About.h"

About::About(QWidget *parent) : QDialog(parent), ui(new Ui::About)
{
    ui->setupUi(this);
    ui->verisonLabel->setText(QStringLiteral("Version: %1").arg(QString::fromLatin1(AppInfo::kVersion)));
}

About::~About() = default;
