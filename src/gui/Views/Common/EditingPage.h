#pragma once

namespace velkaro {

// A page that edits a copy of something stored: before it is left (another page, the window closed,
// quit) it settles unsaved edits with the user.
class EditingPage
{
public:
    virtual ~EditingPage() = default;

    virtual bool hasUnsavedEdits() const = 0;
    // Asks about unsaved edits and saves or drops them as answered; false keeps the user on the page.
    virtual bool mayLeave() = 0;
};

} // namespace velkaro
