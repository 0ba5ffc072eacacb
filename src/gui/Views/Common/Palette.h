#pragma once

#include <QColor>
#include <QPalette>

namespace velkaro {

// The few accent colours of the interface and the contrast they keep against what they stand on.

// Named colours of the interface. `secondary` is the palette's dimmed text, `accent` its highlight;
// the others are fixed hues in a lighter shade on a dark window so they stay readable.
enum class Tint { blue, green, orange, purple, red, secondary, accent };
QColor tintColor(Tint tint, const QPalette &palette);

// Normal text needs 4.5:1; a little more leaves room for anti-aliased edges.
inline constexpr double kReadableContrast = 4.6;
// The contrast ratio of two colours as WCAG 2 defines it: 1 (the same) to 21 (black on white).
double contrastRatio(const QColor &a, const QColor &b);
// `ink`, darkened or lightened (away from `background`) until it reaches `ratio` against it.
QColor readableOn(const QColor &ink, const QColor &background, double ratio = kReadableContrast);

// A badge's pill is opaque, so a selected row's highlight never shows through and swallows its text.
struct BadgeColors
{
    QColor fill;
    QColor ink;
};
BadgeColors badgeColors(Tint tint, const QPalette &palette);

// The colours of a prominent button in `tint`: white text on the tint, darkened where needed.
struct ProminentColors
{
    QColor fill;
    QColor text;
};
ProminentColors prominentColors(Tint tint, const QPalette &palette);

} // namespace velkaro
