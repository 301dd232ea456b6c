#pragma once

#include <QString>

class QMenuBar;

// Replaces the product name written into menu item titles by the layout with the
// application title, in three passes over the menu bar: the items of the application menu
// (the first menu) whose titles end with `productName`, and the items of the "Window" menu
// (skipped when there is none) and of the last menu whose titles begin with it. In each
// matching title every occurrence is replaced. Nested submenus and the menus' own titles
// are left alone.
void replaceProductNameInMenus(QMenuBar* menuBar, const QString& productName, const QString& title);
