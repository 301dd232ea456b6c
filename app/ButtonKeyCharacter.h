#pragma once

#include <QColor>
#include <QString>

#include <optional>

class QAbstractButton;

// Marks one character of a button's title (bold, underlined, in a given colour) so that the
// title hints at a key, and makes Alt plus that character press the button.
//
// Push buttons and check boxes have no attributed titles, so the marked title is drawn by a
// shared proxy style that the marked button is given; text() keeps the plain title with a
// Qt mnemonic ("&") before the marked character, which also serves accessibility.

// Position in `title` of the key character: with `occurrence` 1 the first occurrence, letter
// case ignored; with any other value the last occurrence, letter case exact. -1 when absent
// or when `keyChar` is empty.
qsizetype findKeyCharacter(const QString& title, const QString& keyChar, int occurrence = 1);

// Marks `keyChar` in the button's current title (as shown, mnemonics removed). A null button,
// an empty key character, an invalid colour or a character not in the title leave the button
// as it was. The title is then drawn in the system font, centred; the marked character bold,
// underlined and in `color`, the rest in the palette's button-text colour at full opacity.
// Failures are logged as "Error in (setButtonKeyCharacter:keyChar:color:) : reason".
void setButtonKeyCharacter(QAbstractButton* button, const QString& keyChar, const QColor& color, int occurrence = 1);

// What setButtonKeyCharacter left on a button.
struct MarkedKeyCharacter {
    QString title; // the title as shown
    qsizetype index = -1;
    qsizetype length = 0;
    QColor color;
};

// The mark on `button`; none when it has none or its title has changed since.
std::optional<MarkedKeyCharacter> markedKeyCharacter(const QAbstractButton* button);

// The title as Qt shows it: "&x" gives "x", "&&" gives "&".
QString stripMnemonics(const QString& text);
