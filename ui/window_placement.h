#pragma once

// Where the main window goes at start: where it was saved, as long as the operator can reach
// its title and menu bar on some screen; otherwise onto the screen nearest to it (a screen
// unplugged, a smaller resolution, a damaged settings file).

#include <QList>
#include <QRect>

// `screens` are the screens' available areas; none leaves the window where it was saved.
QRect PlaceOnScreens(const QRect& saved, const QList<QRect>& screens);
