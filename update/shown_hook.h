// Calls a dialog's "shown" hook once its own event loop runs, so whoever
// answers the dialog (a test standing in for the user) finds it ready.
#pragma once

#include <QPointer>
#include <QTimer>

#include <functional>

namespace kv {

template <typename Dialog>
void CallShownHookSoon(Dialog* dialog, std::function<void(Dialog&)> Dialog::*hook)
{
    if (!(dialog->*hook))
        return;
    QPointer<Dialog> self(dialog);
    QTimer::singleShot(0, dialog, [self, hook] {
        if (self && self->isVisible() && ((*self).*hook))
            ((*self).*hook)(*self);
    });
}

}  // namespace kv
