#include "Views/Common/Palette.h"

#include <algorithm>
#include <cmath>

namespace velkaro {

QColor tintColor(Tint tint, const QPalette &palette)
{
    const bool dark = palette.color(QPalette::Window).lightness() < 128;
    switch (tint) {
    case Tint::blue:
        return dark ? QColor(0x40, 0x9c, 0xff) : QColor(0x00, 0x6a, 0xe0);
    case Tint::green:
        return dark ? QColor(0x32, 0xd7, 0x4b) : QColor(0x1e, 0x9e, 0x3c);
    case Tint::orange:
        return dark ? QColor(0xff, 0x9f, 0x0a) : QColor(0xe0, 0x72, 0x00);
    case Tint::purple:
        return dark ? QColor(0xbf, 0x5a, 0xf2) : QColor(0x8e, 0x44, 0xad);
    case Tint::red:
        return dark ? QColor(0xff, 0x45, 0x3a) : QColor(0xd7, 0x00, 0x15);
    case Tint::secondary:
        return palette.color(QPalette::PlaceholderText);
    case Tint::accent:
        return palette.color(QPalette::Highlight);
    }
    return palette.color(QPalette::WindowText);
}

namespace {

double luminance(const QColor &color)
{
    auto channel = [](float c) { return c <= 0.03928f ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    const QColor rgb = color.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) + 0.0722 * channel(rgb.blueF());
}

} // namespace

double contrastRatio(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readableOn(const QColor &ink, const QColor &background, double ratio)
{
    const bool darken = luminance(background) > 0.18; // towards whichever end has room
    QColor color = ink.toHsl();
    for (int step = 0; step < 100 && contrastRatio(color, background) < ratio; ++step) {
        const int lightness = color.lightness();
        if ((darken && lightness == 0) || (!darken && lightness == 255))
            break;
        color.setHsl(color.hslHue(), color.hslSaturation(), std::clamp(lightness + (darken ? -4 : 4), 0, 255));
    }
    return color.toRgb();
}

BadgeColors badgeColors(Tint tint, const QPalette &palette)
{
    const QColor hue = tintColor(tint, palette);
    const QColor base = palette.color(QPalette::Base);
    const QColor fill = QColor::fromRgbF(base.redF() * 0.85f + hue.redF() * 0.15f,
        base.greenF() * 0.85f + hue.greenF() * 0.15f, base.blueF() * 0.85f + hue.blueF() * 0.15f);
    return {fill, readableOn(hue, fill)};
}

ProminentColors prominentColors(Tint tint, const QPalette &palette)
{
    const QColor text = Qt::white;
    // The tint is the background here: darken it until white text reads on it.
    QColor fill = tintColor(tint, palette).toHsl();
    for (int step = 0; step < 100 && contrastRatio(text, fill) < kReadableContrast; ++step)
        fill.setHsl(fill.hslHue(), fill.hslSaturation(), std::max(0, fill.lightness() - 3));
    return {fill.toRgb(), text};
}

} // namespace velkaro
