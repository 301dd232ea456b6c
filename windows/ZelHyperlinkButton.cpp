#include "windows/ZelHyperlinkButton.h"

#include <QDesktopServices>
#include <QEvent>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace {

ZelHyperlinkButton::UrlOpener& urlOpener()
{
    static ZelHyperlinkButton::UrlOpener opener;
    return opener;
}

} // namespace

ZelHyperlinkButton::ZelHyperlinkButton(QWidget* parent) : QPushButton(parent)
{
    setFlat(true);
    setAutoDefault(false);
    setCursor(Qt::PointingHandCursor);
    applyLinkLook();
    connect(this, &QAbstractButton::clicked, this, &ZelHyperlinkButton::openURLInBrowser);
}

void ZelHyperlinkButton::setUrlOpener(UrlOpener opener)
{
    urlOpener() = std::move(opener);
}

void ZelHyperlinkButton::openURLInBrowser()
{
    const QUrl url(m_urlString, QUrl::StrictMode);
    if (m_urlString.isEmpty() || !url.isValid())
        return;
    if (urlOpener())
        urlOpener()(url);
    else
        QDesktopServices::openUrl(url);
}

void ZelHyperlinkButton::applyLinkLook()
{
    // Kept on the widget itself (not only painted), so that a font or palette given by a
    // layout keeps the link look.
    m_applyingLook = true;
    QPalette pal = palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::ButtonText, linkColor());
        pal.setColor(group, QPalette::WindowText, linkColor());
    }
    setPalette(pal);
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    m_applyingLook = false;
}

void ZelHyperlinkButton::changeEvent(QEvent* event)
{
    QPushButton::changeEvent(event);
    if (!m_applyingLook && (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange)) {
        if (!font().underline() || palette().color(QPalette::ButtonText) != linkColor())
            applyLinkLook();
    }
}

void ZelHyperlinkButton::paintEvent(QPaintEvent*)
{
    // The title only: no bezel in any state.
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.features |= QStyleOptionButton::Flat;
    option.state &= ~(QStyle::State_Sunken | QStyle::State_MouseOver);
    painter.drawControl(QStyle::CE_PushButtonLabel, option);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}
