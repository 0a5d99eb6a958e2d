#include "platform/RadioFocus.h"

#include <QAbstractButton>
#include <QPointer>

namespace platform {

void TabToCheckedButton(const std::vector<QAbstractButton*>& group) {
    std::vector<QPointer<QAbstractButton>> buttons(group.begin(), group.end());
    auto update = [buttons] {
        bool anyChecked = false;
        for (const auto& button : buttons) {
            anyChecked = anyChecked || (button && button->isChecked());
        }
        bool first = true;
        for (const auto& button : buttons) {
            if (!button) {
                continue;
            }
            const bool stop = anyChecked ? button->isChecked() : first;
            button->setFocusPolicy(stop ? Qt::StrongFocus : Qt::ClickFocus);
            first = false;
        }
    };
    for (QAbstractButton* button : group) {
        QObject::connect(button, &QAbstractButton::toggled, button, update);
    }
    update();
}

} // namespace platform
