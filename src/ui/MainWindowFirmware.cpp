// The main window's side of the maintenance window: made at start-up, shown from the menu, fed the unit's image CRC.
#include "maintenance/Firmware.h"
#include "ui/MainWindow.h"
#include "ui_MainWindow.h"

void MainWindow::setupFirmware()
{
    m_firmware = std::make_unique<Firmware>();
    ui->actionFirmware_Update->setEnabled(true);
    connect(ui->actionFirmware_Update, &QAction::triggered, m_firmware.get(), [this] {
        m_firmware->show();
        m_firmware->raise();
        m_firmware->activateWindow();
    });
    connect(m_controller, &PylonController::registerChanged, m_firmware.get(),
            [this](PylonController::Register addr, uint data) {
                if (addr == PylonController::da_flash_crc)
                    m_firmware->gotCRC32FromApplication(data);
            });
}
