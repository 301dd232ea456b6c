#include "app/MenuTitles.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace {

QMenu* menuOf(QAction* item)
{
    return item ? item->menu() : nullptr;
}

template <typename Matches>
void replaceIn(QMenu* menu, const QString& productName, const QString& title, Matches matches)
{
    if (!menu)
        return;
    for (QAction* item : menu->actions()) {
        QString text = item->text();
        if (!item->isSeparator() && matches(text))
            item->setText(text.replace(productName, title));
    }
}

} // namespace

void replaceProductNameInMenus(QMenuBar* menuBar, const QString& productName, const QString& title)
{
    if (!menuBar || productName.isEmpty())
        return;
    const QList<QAction*> menus = menuBar->actions();
    if (menus.isEmpty())
        return;
    auto endsWith = [&](const QString& text) { return text.endsWith(productName); };
    auto beginsWith = [&](const QString& text) { return text.startsWith(productName); };

    replaceIn(menuOf(menus.first()), productName, title, endsWith);
    for (QAction* menu : menus) {
        if (menu->text() == QLatin1String("Window")) {
            replaceIn(menuOf(menu), productName, title, beginsWith);
            break;
        }
    }
    replaceIn(menuOf(menus.last()), productName, title, beginsWith);
}
