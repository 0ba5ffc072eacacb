#include "Views/Settings/LimitStepper.h"

#include <algorithm>
#include <cmath>

namespace velkaro {

LimitStepper::LimitStepper(QWidget *parent)
    : QSpinBox(parent)
{
    setRange(kMinimum, kMaximum);
    setSingleStep(kStep);
    // A typed value that is not allowed becomes the nearest allowed one when the field is left.
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
}

void LimitStepper::showStoredValue(int value)
{
    m_stored = value;
    setRange(std::min(kMinimum, value), std::max(kMaximum, value));
    setValue(value);
}

int LimitStepper::typedValue(const QString &input, bool *ok) const
{
    QString core = input;
    if (!suffix().isEmpty() && core.endsWith(suffix()))
        core.chop(suffix().size());
    return locale().toInt(core.trimmed(), ok);
}

QValidator::State LimitStepper::validate(QString &input, int &pos) const
{
    const QValidator::State state = QSpinBox::validate(input, pos);
    if (state != QValidator::Acceptable)
        return state;
    const int typed = typedValue(input);
    // "1" on the way to "15" is not done yet, nor wrong.
    return isAllowed(typed) || typed == m_stored ? QValidator::Acceptable : QValidator::Intermediate;
}

void LimitStepper::fixup(QString &input) const
{
    bool ok = false;
    const int typed = typedValue(input, &ok);
    if (!ok)
        return;
    const int nearest = std::clamp(int(std::lround(typed / double(kStep))) * kStep, kMinimum, kMaximum);
    input = textFromValue(nearest) + suffix();
}

} // namespace velkaro
