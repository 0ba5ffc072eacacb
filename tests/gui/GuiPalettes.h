#pragma once

#include <QPalette>

namespace velkaro::test {

// A dark desktop palette, as a dark theme hands it to the application.
inline QPalette darkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2e));
    p.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xea));
    p.setColor(QPalette::Base, QColor(0x38, 0x38, 0x3c));
    p.setColor(QPalette::AlternateBase, QColor(0x42, 0x42, 0x46));
    p.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xea));
    p.setColor(QPalette::Button, QColor(0x45, 0x45, 0x4a));
    p.setColor(QPalette::ButtonText, QColor(0xe8, 0xe8, 0xea));
    p.setColor(QPalette::Highlight, QColor(0x2f, 0x7c, 0xf6));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::PlaceholderText, QColor(0xa0, 0xa0, 0xa6));
    p.setColor(QPalette::Link, QColor(0x6a, 0xa8, 0xff));
    p.setColor(QPalette::Mid, QColor(0x60, 0x60, 0x66));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x86));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x86));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x86));
    return p;
}

} // namespace velkaro::test
