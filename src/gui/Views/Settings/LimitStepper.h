#pragma once

#include <QSpinBox>

namespace velkaro {

// The snapshot-limit stepper: 5 to 100 in steps of 5, typed values too (another typed value becomes the
// nearest allowed one). A stored value outside that (edited by hand) is shown and kept as it is until
// the user changes it.
class LimitStepper : public QSpinBox
{
public:
    static constexpr int kMinimum = 5;
    static constexpr int kMaximum = 100;
    static constexpr int kStep = 5;

    explicit LimitStepper(QWidget *parent = nullptr);

    // Shows `value`, also one the steps do not allow (the range widens to hold it).
    void showStoredValue(int value);

    void fixup(QString &input) const override;

protected:
    QValidator::State validate(QString &input, int &pos) const override;

private:
    // The number in the field's text, its suffix aside.
    int typedValue(const QString &input, bool *ok = nullptr) const;
    static bool isAllowed(int value) { return value >= kMinimum && value <= kMaximum && value % kStep == 0; }

    int m_stored = kMinimum;
};

} // namespace velkaro
