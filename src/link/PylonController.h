#pragma once

#include <QObject>

#include <cstdint>

// Owns the control connection to the unit (or a relay standing in for it).
class PylonController : public QObject
{
    Q_OBJECT
public:
    // The unit's 32-bit registers, by byte address on its control bus.
    enum Register : uint32_t {
        ctrl_reset = 0xF0000000,
        ctrl_halt = 0xF0000001,
        ctrl_scratch = 0xF0000004,
        ctrl_bus_errors = 0xF0000008,
        da_hardware_strapping = 0xF0000800,
        da_firmware_version = 0xF0000804,
        da_host_sense = 0xF0000808,
        da_pwrk_click = 0xF000080C,
        da_cpu_watchdog = 0xF0000810,
        da_flash_crc = 0xF0000814,
        db_main_dial_encoder = 0xF0001000,
        db_multi_dial_encoder = 0xF0001004,
        db_bpf_in_encoder = 0xF0001008,
        db_bpf_out_encoder = 0xF000100C,
        dc_capture_control_csr = 0xF0001800,
        dc_capture_frame_divisor_csr = 0xF0001804,
        dc_capture_app_handle = 0xF0001808,
        timer0_load = 0xF0006000,
        timer0_reload = 0xF0006004,
        timer0_en = 0xF0006008,
        timer0_update_value = 0xF000600C,
        timer0_value = 0xF0006010,
        timer0_ev_status = 0xF0006014,
        timer0_ev_pending = 0xF0006018,
        timer0_ev_enable = 0xF000601C,
        timer0_uptime_latch = 0xF0006020,
        timer0_uptime_cycles_msp = 0xF0006024,
        timer0_uptime_cycles_lsp = 0xF0006028,
    };
    Q_ENUM(Register)

    // Enumerator name of a register ("da_host_sense"), or the address in hex.
    static QString registerName(uint32_t addr);
};

Q_DECLARE_METATYPE(PylonController::Register)
