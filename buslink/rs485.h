#pragma once

#include "buslink/comp32.h"

// Half-duplex RS-485 line direction switched by DTR and/or RTS, optionally inverted.
class TRs485 : public TComp32 {
public:
    using TComp32::TComp32;

    void SetOptions(bool ctrl_dtr, bool ctrl_rts, bool ctrl_inv);
    bool SetTransmit();
    bool SetReceive();

    bool CtrlDtr() const { return ctrl_dtr_; }
    bool CtrlRts() const { return ctrl_rts_; }
    bool CtrlInv() const { return ctrl_inv_; }

private:
    bool SetDirection(bool level);

    bool ctrl_dtr_ = false;
    bool ctrl_rts_ = false;
    bool ctrl_inv_ = false;
};
