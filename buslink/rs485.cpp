#include "buslink/rs485.h"

void TRs485::SetOptions(bool ctrl_dtr, bool ctrl_rts, bool ctrl_inv) {
    ctrl_dtr_ = ctrl_dtr;
    ctrl_rts_ = ctrl_rts;
    ctrl_inv_ = ctrl_inv;
}

bool TRs485::SetDirection(bool level, int purge_flags) {
    bool result = true;
    if (ctrl_dtr_) {
        result = SetDtr(level) && result;
    }
    if (ctrl_rts_) {
        result = SetRts(level) && result;
    }
    return Purge(purge_flags) && result;
}

// Without inversion the lines are cleared while transmitting; the stale output goes first.
bool TRs485::SetTransmit() {
    return SetDirection(ctrl_inv_, PURGE_TXCLEAR);
}

// Back to listening: whatever was heard of our own transmission is dropped.
bool TRs485::SetReceive() {
    return SetDirection(!ctrl_inv_, PURGE_RXCLEAR);
}
