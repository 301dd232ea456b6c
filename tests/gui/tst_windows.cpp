#include "app/ButtonKeyCharacter.h"
#include "app/FolimeterAppDelegate.h"
#include "app/Utilities.h"
#include "gather/ImportFilesWindowController.h"
#include "support/PdfText.h"
#include "ui_About.h"
#include "ui_EULA.h"
#include "ui_MainWindow.h"
#include "windows/AboutWindowController.h"
#include "windows/EULAWindowController.h"
#include "windows/ZelHyperlinkButton.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QMainWindow>
#include <QMenuBar>
#include <QPrintDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>

namespace {

// Pixels of `image` close to `color`.
int pixelsNear(const QImage& image, const QColor& color)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - color.red()) < 40 && std::abs(c.green() - color.green()) < 40 &&
                std::abs(c.blue() - color.blue()) < 40)
                ++count;
        }
    }
    return count;
}

// The text of a printed document: each page's text, which ends in its page number, without
// that number; empty when a page lacks it.
QString printedText(const fixtures::PdfText& pdf)
{
    QString text;
    for (qsizetype i = 0; i < pdf.pages.size(); ++i) {
        const QString page = fixtures::comparable(pdf.pages[i]);
        const QString number = QString::number(i + 1);
        if (!page.endsWith(number))
            return {};
        text += page.chopped(number.size());
    }
    return text;
}

template <typename T> T* openChild(QWidget* parent)
{
    for (T* child : parent->findChildren<T*>()) {
        if (child->isVisible())
            return child;
    }
    return nullptr;
}

} // namespace

class WindowsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void keyCharacterMarking();
    void keyCharactersAtStartUpAndAltPresses();
    void hyperlinkButton();
    void aboutIsFilledFreshlyEachTime();
    void agreementViewer();
    void agreementSavedAsPdf();
    void commandsReachTheWindows();

private:
    QTemporaryDir m_config;
};

void WindowsTest::initTestCase()
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

void WindowsTest::keyCharacterMarking()
{
    // First occurrence, case ignored: the upper-case "O" before the lower-case "o".
    QPushButton button("Open Folder");
    setButtonKeyCharacter(&button, "o", Qt::red);
    auto mark = markedKeyCharacter(&button);
    QVERIFY(mark);
    QCOMPARE(mark->title, QStringLiteral("Open Folder"));
    QCOMPARE(mark->index, 0);
    QCOMPARE(mark->color, QColor(Qt::red));
    QCOMPARE(button.text(), QStringLiteral("&Open Folder"));

    // Last occurrence, exact case.
    QPushButton twice("Import From File");
    setButtonKeyCharacter(&twice, "F", Qt::red, 2);
    QCOMPARE(markedKeyCharacter(&twice)->index, 12);
    QCOMPARE(twice.text(), QStringLiteral("Import From &File"));
    QPushButton lower("Import From File");
    setButtonKeyCharacter(&lower, "f", Qt::red, 2);
    QVERIFY(!markedKeyCharacter(&lower));

    // Absent character, empty character, no colour: untouched, style included.
    QPushButton plain("Cancel & Close");
    QStyle* style = plain.style();
    setButtonKeyCharacter(&plain, "z", Qt::red);
    setButtonKeyCharacter(&plain, "", Qt::red);
    setButtonKeyCharacter(&plain, "C", QColor());
    setButtonKeyCharacter(nullptr, "C", Qt::red);
    QCOMPARE(plain.text(), QStringLiteral("Cancel & Close"));
    QCOMPARE(plain.style(), style);
    QVERIFY(!markedKeyCharacter(&plain));

    // An "&" in the title stays a character; the marked one is the mnemonic.
    QPushButton amp("Save && Close");
    setButtonKeyCharacter(&amp, "c", Qt::red);
    QCOMPARE(markedKeyCharacter(&amp)->title, QStringLiteral("Save & Close"));
    QCOMPARE(amp.text(), QStringLiteral("Save && &Close"));

    // Drawn: the marked character in its colour, only it.
    QPushButton shown("Remove");
    shown.resize(shown.sizeHint());
    const int redBefore = pixelsNear(shown.grab().toImage(), Qt::red);
    setButtonKeyCharacter(&shown, "r", QColor(255, 0, 0));
    shown.resize(shown.sizeHint());
    const QImage marked = shown.grab().toImage();
    QCOMPARE(redBefore, 0);
    QVERIFY(pixelsNear(marked, Qt::red) > 5);
    // The colour sits over the first letter: the left third of the title.
    const QImage right = marked.copy(marked.width() / 2, 0, marked.width() / 2, marked.height());
    QCOMPARE(pixelsNear(right, Qt::red), 0);
    // A changed title drops the mark.
    shown.setText("Delete");
    QVERIFY(!markedKeyCharacter(&shown));
}

void WindowsTest::keyCharactersAtStartUpAndAltPresses()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    Ui::MainWindow& ui = *delegate.ui();
    const QColor controlText = QApplication::palette().color(QPalette::Active, QPalette::ButtonText);
    struct Expected {
        QAbstractButton* button;
        QString keyChar;
    };
    const QList<Expected> expected = {{ui.removeBtn, "r"},
                                      {ui.importBtn, "i"},
                                      {ui.addFilesBtn, "f"},
                                      {ui.addFolderBtn, "o"},
                                      {ui.inculdeSubfoldersBtn, "u"},
                                      {ui.openFolderAfterConversionBtn, "p"}};
    for (const Expected& e : expected) {
        const auto mark = markedKeyCharacter(e.button);
        QVERIFY2(mark, qPrintable(e.button->objectName()));
        QCOMPARE(mark->index, mark->title.indexOf(e.keyChar, 0, Qt::CaseInsensitive));
        QCOMPARE(mark->color, controlText);
    }

    // No menu title claims one of those letters: Alt plus it would be ambiguous and press
    // nothing.
    QList<QKeySequence> marked;
    for (const Expected& e : expected)
        marked << QKeySequence::mnemonic(e.button->text());

    for (QAction* menu : delegate.window()->menuBar()->actions())
        QVERIFY2(!marked.contains(QKeySequence::mnemonic(menu->text())), qPrintable(menu->text()));

    // Alt plus the marked letter presses the button (shown and enabled ones).
    delegate.window()->show();
    QApplication::setActiveWindow(delegate.window());
    QVERIFY(QTest::qWaitForWindowActive(delegate.window()));
    QVERIFY(QTest::qWaitForWindowExposed(delegate.window()));
    ui.removeBtn->setEnabled(true);
    for (const Expected& e : expected) {
        if (!e.button->isVisible())
            continue;
        QObject::disconnect(e.button, &QAbstractButton::clicked, nullptr, nullptr);
        QSignalSpy clicked(e.button, &QAbstractButton::clicked);
        const auto mark = markedKeyCharacter(e.button);
        const int key = Qt::Key_A + (mark->title.at(mark->index).toUpper().unicode() - 'A');
        QTest::keyClick(delegate.window()->windowHandle(), Qt::Key(key), Qt::AltModifier);
        // A shortcut presses the button visibly: the click follows a moment later.
        QTRY_VERIFY2(clicked.size() == 1, qPrintable(e.button->objectName()));
    }
}

void WindowsTest::hyperlinkButton()
{
    QList<QUrl> opened;
    ZelHyperlinkButton::setUrlOpener([&](const QUrl& url) {
        opened << url;
        return true;
    });

    ZelHyperlinkButton link;
    link.setText("support@example.org");
    link.setProperty("ZelHBUrlString", "mailto:support@example.org?subject=&body=");
    QCOMPARE(link.urlString(), QStringLiteral("mailto:support@example.org?subject=&body="));
    QCOMPARE(link.cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(link.font().underline());
    QCOMPARE(link.palette().color(QPalette::ButtonText), QColor(0, 0, 255));
    QVERIFY(link.isFlat());

    // A font or palette set later (as a layout does) keeps the link look.
    QFont bigger = link.font();
    bigger.setUnderline(false);
    bigger.setPointSize(bigger.pointSize() + 4);
    link.setFont(bigger);
    QVERIFY(link.font().underline());
    link.setPalette(QPalette(Qt::green));
    QCOMPARE(link.palette().color(QPalette::ButtonText), QColor(0, 0, 255));

    // Drawn: blue text on the window's background, no frame or bezel.
    link.resize(link.sizeHint() + QSize(20, 10));
    const QImage image = link.grab().toImage();
    const int blue = pixelsNear(image, QColor(0, 0, 255));
    const int background = pixelsNear(image, link.palette().color(QPalette::Window));
    QVERIFY(blue > 10);
    QVERIFY2(
        blue + background > image.width() * image.height() * 9 / 10,
        qPrintable(
            QString("blue %1, background %2 of %3").arg(blue).arg(background).arg(image.width() * image.height())));

    QTest::mouseClick(&link, Qt::LeftButton);
    QCOMPARE(opened, QList<QUrl>({QUrl("mailto:support@example.org?subject=&body=")}));
    QCOMPARE(opened.constFirst().scheme(), QStringLiteral("mailto"));
    QCOMPARE(opened.constFirst().path(), QStringLiteral("support@example.org"));

    // Text that is not a URL opens nothing.
    link.setUrlString("http://exa mple.org/<>");
    link.openURLInBrowser();
    link.setUrlString(QString());
    link.openURLInBrowser();
    QCOMPARE(opened.size(), 1);
    ZelHyperlinkButton::setUrlOpener({});
}

void WindowsTest::aboutIsFilledFreshlyEachTime()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    const QString title = getAppTitle();

    delegate.aboutAction();
    QPointer<AboutWindowController> first = delegate.aboutWindowController();
    QVERIFY(first);
    QVERIFY(first->isVisible());
    QCOMPARE(first->windowModality(), Qt::WindowModal);
    QCOMPARE(first->parentWidget(), delegate.window());
    first->ui()->headerLabel->setText("changed");
    first->ui()->okButton->click();
    QVERIFY(!first->isVisible());

    delegate.aboutAction();
    AboutWindowController* second = delegate.aboutWindowController();
    QVERIFY(second);
    QVERIFY(first.isNull()); // the previous one was released
    QVERIFY(second->isVisible());
    Ui::About& ui = *second->ui();
    QCOMPARE(ui.titleLabel->text(), QStringLiteral("%1 (%2)").arg(title, bundleInfoValue("CFBundleVersion")));
    QVERIFY(!bundleInfoValue("CFBundleVersion").isEmpty());
    QCOMPARE(ui.headerLabel->text(), QStringLiteral("Thank you for using %1.").arg(title));
    QCOMPARE(ui.copyrightLabel->text(), bundleInfoValue("NSHumanReadableCopyright"));
    QVERIFY(ui.copyrightLabel->text().startsWith(QStringLiteral("Copyright")));
    QVERIFY(ui.logoImage->pixmap().toImage().width() > 0);
    const QString address = ui.emailLink->text();
    QVERIFY(address.contains('@'));
    QCOMPARE(ui.emailLink->urlString(), QStringLiteral("mailto:%1?subject=&body=").arg(address));
    QCOMPARE(ui.okButton->toolTip(), QStringLiteral("Click to continue with %1.").arg(title));
    QCOMPARE(second->height(), 207);
}

void WindowsTest::agreementViewer()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    const QString title = getAppTitle();

    delegate.showLicenseAgreement();
    QPointer<EULAWindowController> first = delegate.eulaWindowController();
    QVERIFY(first && first->isVisible());
    QCOMPARE(first->windowModality(), Qt::WindowModal);
    QCOMPARE(first->parentWidget(), delegate.window());
    Ui::EULA& ui = *first->ui();
    QCOMPARE(ui.headerLabel->text(), QStringLiteral("%1 End-User License Agreement:").arg(title));
    const QString text = ui.descriptionTextView->toPlainText();
    QVERIFY(!text.contains("##APPTITLE##"));
    QVERIFY(text.count(title) >= 5);
    QVERIFY(ui.closeButton->isVisible());
    QCOMPARE(ui.printButton->toolTip(), QStringLiteral("Click to print End-User License Agreement."));
    QCOMPARE(ui.saveAsButton->toolTip(), QStringLiteral("Click to save End-User License Agreement."));
    QCOMPARE(ui.closeButton->toolTip(), QStringLiteral("Click to close dialog."));

    // Print: the print dialog over the viewer; cancelling it prints nothing.
    ui.printButton->click();
    QPrintDialog* print = openChild<QPrintDialog>(first);
    QVERIFY(print);
    QCOMPARE(print->windowModality(), Qt::WindowModal);
    print->reject();

    // Save As: proposes the title and the agreement, requires pdf; cancelling writes nothing.
    QTemporaryDir dir;
    ui.saveAsButton->click();
    QFileDialog* save = openChild<QFileDialog>(first);
    QVERIFY(save);
    QCOMPARE(save->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(save->defaultSuffix(), QStringLiteral("pdf"));
    QCOMPARE(save->selectedFiles().size(), 1);
    QVERIFY(save->selectedFiles().constFirst().endsWith("/" + title + " End-User License Agreement.pdf"));
    save->setDirectory(dir.path());
    save->reject();
    QTest::qWait(50);
    QVERIFY(QDir(dir.path()).isEmpty());

    ui.closeButton->click();
    QVERIFY(!first->isVisible());
    delegate.showLicenseAgreement();
    QVERIFY(first.isNull());
    QVERIFY(delegate.eulaWindowController()->isVisible());
}

void WindowsTest::agreementSavedAsPdf()
{
    QTemporaryDir dir;
    const QString title = getAppTitle();
    EULAWindowController viewer;
    const QString shown = viewer.ui()->descriptionTextView->toPlainText();

    // Anything but OK writes nothing.
    QVERIFY(!viewer.savePanelDidEnd(dir.filePath("cancelled.pdf"), QDialog::Rejected));
    QVERIFY(!QFileInfo::exists(dir.filePath("cancelled.pdf")));

    const QString path = dir.filePath("agreement.pdf");
    QVERIFY(viewer.savePanelDidEnd(path, QDialog::Accepted));
    const auto pdf = fixtures::readPdfText(path);
    QVERIFY(pdf);
    QCOMPARE(pdf->pages.size(), 1);
    const QString drawn = printedText(*pdf);
    // The whole text, in order, and with it the title where the placeholder was.
    QCOMPARE(drawn, fixtures::comparable(shown));
    QVERIFY(drawn.startsWith(title + "End-UserLicenseAgreement"));
    QVERIFY(!drawn.contains("##APPTITLE##"));

    // The same check on a text that still holds the placeholder finds it.
    viewer.ui()->descriptionTextView->setPlainText("Use of ##APPTITLE## is free.");
    const QString raw = dir.filePath("raw");
    QVERIFY(viewer.savePanelDidEnd(raw, QDialog::Accepted));
    const auto rawPdf = fixtures::readPdfText(raw + ".pdf");
    QVERIFY(rawPdf);
    QCOMPARE(printedText(*rawPdf), QStringLiteral("Useof##APPTITLE##isfree."));

    // A long text is paginated, not cut.
    QString longText;
    for (int i = 0; i < 400; ++i)
        longText += QString("Line %1 of the agreement.\n").arg(i);
    viewer.ui()->descriptionTextView->setPlainText(longText);
    const QString longPath = dir.filePath("long.pdf");
    QVERIFY(viewer.savePanelDidEnd(longPath, QDialog::Accepted));
    const auto longPdf = fixtures::readPdfText(longPath);
    QVERIFY(longPdf);
    QVERIFY(longPdf->pages.size() > 3);
    QCOMPARE(printedText(*longPdf), fixtures::comparable(longText));

    // A folder that does not exist: reported, nothing claimed.
    QVERIFY(!viewer.savePanelDidEnd(dir.filePath("missing/agreement.pdf"), QDialog::Accepted));
}

void WindowsTest::commandsReachTheWindows()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    Ui::MainWindow& ui = *delegate.ui();

    ui.aboutMenuItem->trigger();
    QVERIFY(delegate.aboutWindowController() && delegate.aboutWindowController()->isVisible());
    delegate.aboutWindowController()->okAction();

    ui.importBtn->click();
    QVERIFY(delegate.importFilesPanel() && delegate.importFilesPanel()->isVisible());
    delegate.importFilesPanel()->cancelAction();
    ui.importMenuItem->trigger();
    QVERIFY(delegate.importFilesPanel()->isVisible());
    delegate.importFilesPanel()->cancelAction();

    // The toolbar's About item and the agreement menu item, from the toolbar and menu set-up.
    QAction* aboutItem = nullptr;
    for (QAction* action : ui.mainToolBar->actions()) {
        if (action->objectName() == "ABOUT" || action->data().toString() == "ABOUT")
            aboutItem = action;
    }
    auto* agreementItem = delegate.window()->findChild<QAction*>("licenseAgreementMenuItem");
    if (!aboutItem && !agreementItem)
        QSKIP("this build has no toolbar About item or agreement menu item");
    QVERIFY(aboutItem && agreementItem);
    QPointer<AboutWindowController> previous = delegate.aboutWindowController();
    aboutItem->trigger();
    QVERIFY(previous.isNull());
    QVERIFY(delegate.aboutWindowController() && delegate.aboutWindowController()->isVisible());
    delegate.aboutWindowController()->okAction();
    agreementItem->trigger();
    QVERIFY(delegate.eulaWindowController() && delegate.eulaWindowController()->isVisible());
    QCOMPARE(agreementItem->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
}

QTEST_MAIN(WindowsTest)
#include "tst_windows.moc"
