#pragma once

#include "EmulatedUnit.h"

#include <string>

// The emulated unit as the LD_PRELOAD library sets it up, from environment variables:
//
//   VQ6020_USBEMU_FLASH       file holding the flash contents (created erased if absent);
//                             unset: an erased flash in memory
//   VQ6020_USBEMU_FAULTS      comma-separated fault switches: absent, refuse-reset,
//                             refuse-purge, refuse-latency-read, refuse-latency,
//                             refuse-bitmode, short-write=N, read-error, stall,
//                             unplug-after=N, read-chunk=N, zero-read-every=N; of the
//                             flash: stuck-busy, flip-read=ADDR
//   VQ6020_USBEMU_PRODUCT     USB product id (0x6010 two-channel, 0x6014 single)
//   VQ6020_USBEMU_IDCODE      the FPGA's IDCODE (default 0x41111043)
//   VQ6020_USBEMU_JEDEC       the flash's JEDEC ID as 0xMMTTCC (default 0xEF4015)
//   VQ6020_USBEMU_TURNAROUND_US  time a read that returns data takes (default 125, a USB
//                             microframe; tools that count status polls rely on it)
//   VQ6020_USBEMU_TIME        real (default) or virtual
//   VQ6020_USBEMU_BUSY_SCALE  factor on the flash's typical busy times (0 = never busy)
//   VQ6020_USBEMU_TRACE       file that receives one line per call; the bytes written to
//                             channel A and B go to the same name with ".a" and ".b"
//
// Unknown words and malformed values are reported in *problems and otherwise ignored.
bool parseFaults(const std::string &text, UsbFaults &faults, FlashFaults &flash, std::string *problems);
EmulatedUnit::Options unitOptionsFromEnvironment(std::string *problems);
