#pragma once

#include <QPushButton>
#include <QString>
#include <QUrl>

#include <functional>

// A borderless push button that looks like a web link (blue, underlined, pointing-hand
// cursor) and opens its URL with the default handler when clicked. The URL is settable from
// a layout as the property "ZelHBUrlString".
class ZelHyperlinkButton : public QPushButton {
    Q_OBJECT
    Q_PROPERTY(QString ZelHBUrlString READ urlString WRITE setUrlString)
public:
    explicit ZelHyperlinkButton(QWidget* parent = nullptr);

    QString urlString() const { return m_urlString; }
    void setUrlString(const QString& urlString) { m_urlString = urlString; }

    // The colour of the link text.
    static QColor linkColor() { return QColor(0, 0, 255); }

    // Opens a URL; answers whether the handler took it. QDesktopServices::openUrl unless
    // replaced (tests). An empty function restores the default.
    using UrlOpener = std::function<bool(const QUrl&)>;
    static void setUrlOpener(UrlOpener opener);

public slots:
    // Opens urlString parsed as a URL; a text that does not parse opens nothing.
    void openURLInBrowser();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void applyLinkLook();

    QString m_urlString;
    bool m_applyingLook = false;
};
