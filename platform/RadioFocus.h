#pragma once

#include <vector>

class QAbstractButton;

namespace platform {

// Makes the radio buttons of one group a single stop in the Tab order, on the
// checked button (on the first while none is checked), as desktop toolkits do:
// Tab enters the group at its choice, so Space there changes nothing by accident.
// The arrow keys still move the choice within the group, and a click still
// focuses the button it checks. Follows every change of the choice.
void TabToCheckedButton(const std::vector<QAbstractButton*>& group);

} // namespace platform
