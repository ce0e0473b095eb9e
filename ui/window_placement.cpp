#include "ui/window_placement.h"

#include <algorithm>
#include <limits>

namespace {

// The strip along the window's top that holds the menu bar, and how much of it must be seen
// for the operator to reach the menus and to drag the window.
constexpr int TopStripHeight = 30;
constexpr int MinSeenWidth = 100;

// Squared distance from a point to a rectangle; 0 inside it.
long long DistanceSquared(const QPoint& p, const QRect& r) {
    const long long dx = p.x() < r.left() ? r.left() - p.x() : std::max(0, p.x() - r.right());
    const long long dy = p.y() < r.top() ? r.top() - p.y() : std::max(0, p.y() - r.bottom());
    return dx * dx + dy * dy;
}

} // namespace

QRect PlaceOnScreens(const QRect& saved, const QList<QRect>& screens) {
    const QRect strip(saved.left(), saved.top(), saved.width(),
                      std::min(saved.height(), TopStripHeight));
    const QRect* nearest = nullptr;
    long long best = std::numeric_limits<long long>::max();
    for (const QRect& screen : screens) {
        const QRect seen = screen & strip;
        if (seen.height() == strip.height() &&
            seen.width() >= std::min(strip.width(), MinSeenWidth)) {
            return saved;
        }
        const long long distance = DistanceSquared(saved.center(), screen);
        if (distance < best) {
            best = distance;
            nearest = &screen;
        }
    }
    if (nearest == nullptr) {
        return saved;
    }
    QRect placed(saved.topLeft(), saved.size().boundedTo(nearest->size()));
    placed.moveLeft(
        std::clamp(saved.left(), nearest->left(), nearest->right() - placed.width() + 1));
    placed.moveTop(
        std::clamp(saved.top(), nearest->top(), nearest->bottom() - placed.height() + 1));
    return placed;
}
