#pragma once

#include <string_view>

// What the core asks of the program's window side when it cannot go on: the GUI implements it,
// tests give a fake.
class TAppControl {
public:
    virtual ~TAppControl() = default;

    // A modal message box with the text, an OK button and the error icon, titled with the
    // main window's caption.
    virtual void ShowErrorBox(std::string_view text) = 0;
    // A modal question box with the text and the buttons yes and no (no is the default),
    // titled as the error box; true when the operator answered yes.
    virtual bool AskQuestion(std::string_view text) = 0;
    // Asks the program to end; it ends once control is back in its event loop.
    virtual void Terminate() = 0;
};
