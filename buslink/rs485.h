#pragma once

#include "buslink/comp32.h"

// Half-duplex RS-485 line direction switched by DTR and/or RTS, optionally inverted, or by the
// UART driver itself (the kernel's RS-485 mode) where the driver has it.
class TRs485 : public TComp32 {
public:
    using TComp32::TComp32;

    // What became of the kernel's RS-485 mode at the last open.
    enum class TKernelMode : std::uint8_t {
        Off,     // not asked for
        On,      // the driver switches the line: the program leaves DTR and RTS alone
        Refused, // the driver has no such mode: DTR/RTS as ticked, if any, switch the line
    };

    // ctrl_kernel: ask the driver for its RS-485 mode at each open, RTS cleared while sending
    // (asserted with ctrl_inv, as the program's own switching does), no delays before or after
    // a transmission: a panel may answer within a millisecond of the last byte.
    void SetOptions(bool ctrl_dtr, bool ctrl_rts, bool ctrl_inv, bool ctrl_kernel = false);
    bool SetTransmit();
    bool SetReceive();

    bool CtrlDtr() const { return ctrl_dtr_; }
    bool CtrlRts() const { return ctrl_rts_; }
    bool CtrlInv() const { return ctrl_inv_; }
    bool CtrlKernel() const { return ctrl_kernel_; }

    TKernelMode KernelMode() const { return kernel_mode_; }
    // Why the driver refused (errno; EOPNOTSUPP when it took the call but left the mode off).
    int KernelError() const { return kernel_error_; }
    // The mode as the driver holds it while On.
    const TKernelRs485& KernelConfig() const { return kernel_config_; }

protected:
    // Right after the port opened: asks the driver for its RS-485 mode when told to.
    void StartKernelMode();

private:
    bool SetDirection(bool level);

    bool ctrl_dtr_ = false;
    bool ctrl_rts_ = false;
    bool ctrl_inv_ = false;
    bool ctrl_kernel_ = false;
    TKernelMode kernel_mode_ = TKernelMode::Off;
    int kernel_error_ = 0;
    TKernelRs485 kernel_config_;
};
