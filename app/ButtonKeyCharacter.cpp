#include "app/ButtonKeyCharacter.h"

#include "app/Platform.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOptionButton>

#include <exception>

namespace {

constexpr const char* kTitleProperty = "_folimeter_keyCharTitle";
constexpr const char* kIndexProperty = "_folimeter_keyCharIndex";
constexpr const char* kLengthProperty = "_folimeter_keyCharLength";
constexpr const char* kColorProperty = "_folimeter_keyCharColor";

struct TitleFonts {
    QFont regular = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    QFont marked;
    TitleFonts()
    {
        marked = regular;
        marked.setBold(true);
        marked.setUnderline(true);
    }
};

struct TitleParts {
    QString before, mark, after;
    int beforeWidth = 0, markWidth = 0, afterWidth = 0;
    int width() const { return beforeWidth + markWidth + afterWidth; }
};

TitleParts splitTitle(const MarkedKeyCharacter& m, const TitleFonts& fonts)
{
    TitleParts parts;
    parts.before = m.title.left(m.index);
    parts.mark = m.title.mid(m.index, m.length);
    parts.after = m.title.mid(m.index + m.length);
    const QFontMetrics regular(fonts.regular);
    parts.beforeWidth = regular.horizontalAdvance(parts.before);
    parts.markWidth = QFontMetrics(fonts.marked).horizontalAdvance(parts.mark);
    parts.afterWidth = regular.horizontalAdvance(parts.after);
    return parts;
}

// Draws the marked titles of the buttons it is set on; everything else is the application
// style's. One instance serves every marked button.
class KeyCharacterStyle : public QProxyStyle {
public:
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override
    {
        const auto* button = qobject_cast<const QAbstractButton*>(widget);
        const auto* buttonOption = qstyleoption_cast<const QStyleOptionButton*>(option);
        const bool isLabel =
            element == CE_PushButtonLabel || element == CE_CheckBoxLabel || element == CE_RadioButtonLabel;
        std::optional<MarkedKeyCharacter> mark;
        if (isLabel && button && buttonOption)
            mark = markedKeyCharacter(button);
        if (!mark) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        drawMarkedTitle(*buttonOption, painter, *mark);
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override
    {
        QSize result = QProxyStyle::sizeFromContents(type, option, size, widget);
        const auto* button = qobject_cast<const QAbstractButton*>(widget);
        if ((type == CT_PushButton || type == CT_CheckBox || type == CT_RadioButton) && button) {
            if (const auto mark = markedKeyCharacter(button)) {
                // The widget measured its title in its own font; make room for the drawn one.
                const TitleFonts fonts;
                const int drawn = splitTitle(*mark, fonts).width();
                const int measured = button->fontMetrics().horizontalAdvance(mark->title);
                if (drawn > measured)
                    result.rwidth() += drawn - measured;
            }
        }
        return result;
    }

private:
    static void drawMarkedTitle(const QStyleOptionButton& option, QPainter* painter, const MarkedKeyCharacter& mark)
    {
        const TitleFonts fonts;
        const TitleParts parts = splitTitle(mark, fonts);
        const QFontMetrics regular(fonts.regular);
        const QFontMetrics marked(fonts.marked);

        QRect rect = option.rect;
        const bool enabled = option.state & State_Enabled;
        if (!option.icon.isNull()) {
            const QIcon::Mode mode = enabled ? QIcon::Normal : QIcon::Disabled;
            const QPixmap pixmap = option.icon.pixmap(option.iconSize, painter->device()->devicePixelRatio(), mode);
            const int iconWidth = option.iconSize.width() + 4;
            const int left = rect.x() + std::max(0, (rect.width() - iconWidth - parts.width()) / 2);
            painter->drawPixmap(left, rect.y() + (rect.height() - option.iconSize.height()) / 2, pixmap);
            rect.setLeft(left + iconWidth);
            rect.setWidth(parts.width());
        }

        const QPalette::ColorGroup group = enabled ? QPalette::Active : QPalette::Disabled;
        QColor textColor = option.palette.color(group, QPalette::ButtonText);
        textColor.setAlphaF(1.0);
        const QColor markColor = enabled ? mark.color : textColor;

        const int ascent = std::max(regular.ascent(), marked.ascent());
        const int height = std::max(regular.height(), marked.height());
        int x = rect.x() + std::max(0, (rect.width() - parts.width()) / 2);
        const int baseline = rect.y() + (rect.height() - height) / 2 + ascent;

        painter->save();
        painter->setClipRect(option.rect, Qt::IntersectClip);
        painter->setFont(fonts.regular);
        painter->setPen(textColor);
        painter->drawText(QPoint(x, baseline), parts.before);
        x += parts.beforeWidth;
        painter->setFont(fonts.marked);
        painter->setPen(markColor);
        painter->drawText(QPoint(x, baseline), parts.mark);
        x += parts.markWidth;
        painter->setFont(fonts.regular);
        painter->setPen(textColor);
        painter->drawText(QPoint(x, baseline), parts.after);
        painter->restore();
    }
};

QStyle* keyCharacterStyle()
{
    static QPointer<KeyCharacterStyle> style;
    if (!style) {
        style = new KeyCharacterStyle;
        style->setParent(qApp);
    }
    return style;
}

// The title with a mnemonic before position `index` and every other "&" doubled.
QString titleWithMnemonic(const QString& title, qsizetype index)
{
    QString text;
    text.reserve(title.size() + 4);
    const QChar marked = title.at(index);
    const bool canBeMnemonic = marked != QLatin1Char('&') && !marked.isSpace();
    for (qsizetype i = 0; i < title.size(); ++i) {
        if (i == index && canBeMnemonic)
            text += QLatin1Char('&');
        if (title.at(i) == QLatin1Char('&'))
            text += QLatin1Char('&');
        text += title.at(i);
    }
    return text;
}

} // namespace

qsizetype findKeyCharacter(const QString& title, const QString& keyChar, int occurrence)
{
    if (keyChar.isEmpty())
        return -1;
    if (occurrence == 1)
        return title.indexOf(keyChar, 0, Qt::CaseInsensitive);
    return title.lastIndexOf(keyChar, -1, Qt::CaseSensitive);
}

QString stripMnemonics(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('&') && i + 1 < text.size())
            ++i;
        else if (text.at(i) == QLatin1Char('&'))
            continue;
        result += text.at(i);
    }
    return result;
}

void setButtonKeyCharacter(QAbstractButton* button, const QString& keyChar, const QColor& color, int occurrence)
{
    if (!button || keyChar.isEmpty() || !color.isValid())
        return;
    try {
        const QString title = stripMnemonics(button->text());
        const qsizetype index = findKeyCharacter(title, keyChar, occurrence);
        if (index < 0)
            return;
        const QString text = titleWithMnemonic(title, index);
        QStyle* style = keyCharacterStyle();
        button->setProperty(kTitleProperty, title);
        button->setProperty(kIndexProperty, index);
        button->setProperty(kLengthProperty, keyChar.size());
        button->setProperty(kColorProperty, color);
        button->setText(text);
        if (button->style() != style)
            button->setStyle(style);
        button->updateGeometry();
        button->update();
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(setButtonKeyCharacter:keyChar:color:)"), QString::fromUtf8(e.what()));
    }
}

std::optional<MarkedKeyCharacter> markedKeyCharacter(const QAbstractButton* button)
{
    if (!button)
        return std::nullopt;
    const QVariant title = button->property(kTitleProperty);
    if (!title.isValid() || title.toString() != stripMnemonics(button->text()))
        return std::nullopt;
    MarkedKeyCharacter mark;
    mark.title = title.toString();
    mark.index = button->property(kIndexProperty).value<qsizetype>();
    mark.length = button->property(kLengthProperty).value<qsizetype>();
    mark.color = button->property(kColorProperty).value<QColor>();
    if (mark.index < 0 || mark.length <= 0 || mark.index + mark.length > mark.title.size())
        return std::nullopt;
    return mark;
}
