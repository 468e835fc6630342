#pragma once

#include <QIcon>

// The icon of a resource number (130 mail, 131 news, 133 default, 152 previous, 153 next,
// 155 error, 156 tray, 158 web, 167 schedule, 181 Lumetta); icon 133 for any other.
QIcon ResourceIcon(int id);
// The toolbar icon of a command id, or a null icon.
QIcon CommandIcon(int command);
