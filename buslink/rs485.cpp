#include "buslink/rs485.h"

#include <cerrno>

void TRs485::SetOptions(bool ctrl_dtr, bool ctrl_rts, bool ctrl_inv, bool ctrl_kernel) {
    ctrl_dtr_ = ctrl_dtr;
    ctrl_rts_ = ctrl_rts;
    ctrl_inv_ = ctrl_inv;
    ctrl_kernel_ = ctrl_kernel;
}

void TRs485::StartKernelMode() {
    kernel_mode_ = TKernelMode::Off;
    kernel_error_ = 0;
    kernel_config_ = TKernelRs485{};
    if (!ctrl_kernel_) {
        return;
    }
    TKernelRs485 config;
    config.enabled = true;
    config.rts_on_send = ctrl_inv_;
    if (!SetKernelRs485(config)) {
        kernel_mode_ = TKernelMode::Refused;
        kernel_error_ = LastError();
        return;
    }
    if (!config.enabled) {
        kernel_mode_ = TKernelMode::Refused;
        kernel_error_ = EOPNOTSUPP;
        return;
    }
    kernel_mode_ = TKernelMode::On;
    kernel_config_ = config;
}

bool TRs485::SetDirection(bool level) {
    if (kernel_mode_ == TKernelMode::On) {
        return true; // the driver switches around each transmission by itself
    }
    bool result = true;
    if (ctrl_dtr_) {
        result = SetDtr(level) && result;
    }
    if (ctrl_rts_) {
        result = SetRts(level) && result;
    }
    return result;
}

// Without inversion the lines are cleared while transmitting. The output is not purged: every
// frame of ours was drained before the line went back to receive, so a purge could only cut one
// that the port let go of before its bytes had left (a pseudo-terminal, some USB adapters) when
// frames follow each other closely, as the turns found in a backlog after a stall do.
bool TRs485::SetTransmit() {
    return SetDirection(ctrl_inv_);
}

// Back to listening. The input queue is kept: it may hold other panels' answers not read yet
// (a backlog after a stall) or an answer that began as our last byte left. The echo of our own
// frame, if the adapter gives one, is dropped by the bus cycle when it parses it.
bool TRs485::SetReceive() {
    return SetDirection(!ctrl_inv_);
}
