#include "ListWindowFixture.h"
#include "app/ButtonKeyCharacter.h"
#include "app/Utilities.h"
#include "gather/ImportFilesWindowController.h"
#include "support/PdfText.h"
#include "ui_About.h"
#include "ui_EULA.h"
#include "ui_MainWindow.h"
#include "windows/AboutWindowController.h"
#include "windows/EULAWindowController.h"
#include "windows/ZelHyperlinkButton.h"

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
    void initTestCase() { listfixture::useScratchSettings(); }
    void keyCharacterMarking();
    void keyCharactersAtStartUpAndAltPresses();
    void hyperlinkButton();
    void aboutIsFilledFreshlyEachTime();
    void agreementViewer();
    void agreementSavedAsPdf();
    void commandsReachTheWindows();
};

void WindowsTest::keyCharacterMarking()
{
    // Title, character, occurrence (1 first in any case, 2 last in exact case), and the title
    // after it, unchanged when nothing is marked.
    const QList<std::tuple<QString, QString, int, QString>> cases = {
        {"Open Folder", "o", 1, "&Open Folder"},          {"Import From File", "F", 2, "Import From &File"},
        {"Import From File", "f", 2, "Import From File"}, {"Cancel & Close", "z", 1, "Cancel & Close"},
        {"Cancel & Close", "", 1, "Cancel & Close"},      {"Save && Close", "c", 1, "Save && &Close"}};
    for (const auto& [title, keyChar, occurrence, marked] : cases) {
        QPushButton button(title);
        setButtonKeyCharacter(&button, keyChar, Qt::red, occurrence);
        QCOMPARE(button.text(), marked);
        QCOMPARE(markedKeyCharacter(&button).has_value(), marked != title);
    }
    QPushButton plain("Cancel");
    setButtonKeyCharacter(&plain, "C", QColor());
    setButtonKeyCharacter(nullptr, "C", Qt::red);
    QVERIFY(!markedKeyCharacter(&plain));

    // Drawn: the marked character in its colour, only it.
    QPushButton shown("Remove");
    shown.resize(shown.sizeHint());
    QCOMPARE(pixelsNear(shown.grab().toImage(), Qt::red), 0);
    setButtonKeyCharacter(&shown, "r", QColor(255, 0, 0));
    shown.resize(shown.sizeHint());
    const QImage marked = shown.grab().toImage();
    QVERIFY(pixelsNear(marked, Qt::red) > 5);
    QCOMPARE(pixelsNear(marked.copy(marked.width() / 2, 0, marked.width() / 2, marked.height()), Qt::red), 0);
    // A changed title drops the mark.
    shown.setText("Delete");
    QVERIFY(!markedKeyCharacter(&shown));
}

void WindowsTest::keyCharactersAtStartUpAndAltPresses()
{
    auto delegate = listfixture::makeWindow();
    Ui::MainWindow& ui = *delegate->ui();
    const QColor controlText = QApplication::palette().color(QPalette::Active, QPalette::ButtonText);
    const QList<std::pair<QAbstractButton*, QString>> expected = {{ui.removeBtn, "r"},
                                                                  {ui.importBtn, "i"},
                                                                  {ui.addFilesBtn, "f"},
                                                                  {ui.addFolderBtn, "o"},
                                                                  {ui.inculdeSubfoldersBtn, "u"},
                                                                  {ui.openFolderAfterConversionBtn, "p"}};
    QList<QKeySequence> marked;
    for (const auto& [button, keyChar] : expected) {
        const auto mark = markedKeyCharacter(button);
        QVERIFY2(mark, qPrintable(button->objectName()));
        QCOMPARE(mark->index, mark->title.indexOf(keyChar, 0, Qt::CaseInsensitive));
        QCOMPARE(mark->color, controlText);
        marked << QKeySequence::mnemonic(button->text());
    }
    // No menu title claims one of those letters: Alt plus it would be ambiguous and press nothing.
    for (QAction* menu : delegate->window()->menuBar()->actions())
        QVERIFY2(!marked.contains(QKeySequence::mnemonic(menu->text())), qPrintable(menu->text()));

    // Alt plus the marked letter presses the button (shown and enabled ones).
    delegate->window()->show();
    QApplication::setActiveWindow(delegate->window());
    QVERIFY(QTest::qWaitForWindowActive(delegate->window()));
    ui.removeBtn->setEnabled(true);
    for (const auto& [button, keyChar] : expected) {
        if (!button->isVisible())
            continue;
        QObject::disconnect(button, &QAbstractButton::clicked, nullptr, nullptr);
        QSignalSpy clicked(button, &QAbstractButton::clicked);
        const auto mark = markedKeyCharacter(button);
        const int key = Qt::Key_A + (mark->title.at(mark->index).toUpper().unicode() - 'A');
        QTest::keyClick(delegate->window()->windowHandle(), Qt::Key(key), Qt::AltModifier);
        // A shortcut presses the button visibly: the click follows a moment later.
        QTRY_VERIFY2(clicked.size() == 1, qPrintable(button->objectName()));
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

    // A font or palette set later (as a layout does) keeps the link look.
    QFont bigger = link.font();
    bigger.setUnderline(false);
    bigger.setPointSize(bigger.pointSize() + 4);
    link.setFont(bigger);
    link.setPalette(QPalette(Qt::green));
    QVERIFY(link.font().underline());
    QCOMPARE(link.palette().color(QPalette::ButtonText), QColor(0, 0, 255));
    // Drawn: blue text on the window's background, no frame or bezel.
    link.resize(link.sizeHint() + QSize(20, 10));
    const QImage image = link.grab().toImage();
    const int blue = pixelsNear(image, QColor(0, 0, 255));
    QVERIFY(blue > 10);
    QVERIFY(blue + pixelsNear(image, link.palette().color(QPalette::Window)) > image.width() * image.height() * 9 / 10);

    QTest::mouseClick(&link, Qt::LeftButton);
    QCOMPARE(opened, QList<QUrl>({QUrl("mailto:support@example.org?subject=&body=")}));
    // Text that is not a URL opens nothing.
    for (const QString& text : {QString("http://exa mple.org/<>"), QString()}) {
        link.setUrlString(text);
        link.openURLInBrowser();
    }
    QCOMPARE(opened.size(), 1);
    ZelHyperlinkButton::setUrlOpener({});
}

void WindowsTest::aboutIsFilledFreshlyEachTime()
{
    auto delegate = listfixture::makeWindow();
    const QString title = getAppTitle();
    delegate->aboutAction();
    QPointer<AboutWindowController> first = delegate->aboutWindowController();
    QVERIFY(first && first->isVisible());
    QCOMPARE(first->windowModality(), Qt::WindowModal);
    QCOMPARE(first->parentWidget(), delegate->window());
    first->ui()->headerLabel->setText("changed");
    first->ui()->okButton->click();
    QVERIFY(!first->isVisible());

    delegate->aboutAction();
    QVERIFY(first.isNull()); // the previous one was released
    Ui::About& ui = *delegate->aboutWindowController()->ui();
    QCOMPARE(ui.titleLabel->text(), QStringLiteral("%1 (%2)").arg(title, bundleInfoValue("CFBundleVersion")));
    QCOMPARE(ui.headerLabel->text(), QStringLiteral("Thank you for using %1.").arg(title));
    QCOMPARE(ui.copyrightLabel->text(), bundleInfoValue("NSHumanReadableCopyright"));
    QVERIFY(ui.copyrightLabel->text().startsWith(QStringLiteral("Copyright")));
    const QString address = ui.emailLink->text();
    QVERIFY(address.contains('@'));
    QCOMPARE(ui.emailLink->urlString(), QStringLiteral("mailto:%1?subject=&body=").arg(address));
    QCOMPARE(ui.okButton->toolTip(), QStringLiteral("Click to continue with %1.").arg(title));
}

void WindowsTest::agreementViewer()
{
    auto delegate = listfixture::makeWindow();
    const QString title = getAppTitle();
    delegate->showLicenseAgreement();
    QPointer<EULAWindowController> first = delegate->eulaWindowController();
    QVERIFY(first && first->isVisible());
    QCOMPARE(first->windowModality(), Qt::WindowModal);
    QCOMPARE(first->parentWidget(), delegate->window());
    Ui::EULA& ui = *first->ui();
    QCOMPARE(ui.headerLabel->text(), QStringLiteral("%1 End-User License Agreement:").arg(title));
    const QString text = ui.descriptionTextView->toPlainText();
    QVERIFY(!text.contains("##APPTITLE##"));
    QVERIFY(text.count(title) >= 5);
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
    QVERIFY(save->selectedFiles().value(0).endsWith("/" + title + " End-User License Agreement.pdf"));
    save->setDirectory(dir.path());
    save->reject();
    QTest::qWait(50);
    QVERIFY(QDir(dir.path()).isEmpty());

    ui.closeButton->click();
    QVERIFY(!first->isVisible());
    delegate->showLicenseAgreement();
    QVERIFY(first.isNull());
    QVERIFY(delegate->eulaWindowController()->isVisible());
}

void WindowsTest::agreementSavedAsPdf()
{
    QTemporaryDir dir;
    EULAWindowController viewer;
    const QString shown = viewer.ui()->descriptionTextView->toPlainText();
    // Anything but OK writes nothing.
    QVERIFY(!viewer.savePanelDidEnd(dir.filePath("cancelled.pdf"), QDialog::Rejected));
    QVERIFY(!QFileInfo::exists(dir.filePath("cancelled.pdf")));
    QVERIFY(!viewer.savePanelDidEnd(dir.filePath("missing/agreement.pdf"), QDialog::Accepted));

    // The whole text, in order, with the title where the placeholder was; the suffix added.
    QVERIFY(viewer.savePanelDidEnd(dir.filePath("agreement"), QDialog::Accepted));
    const auto pdf = fixtures::readPdfText(dir.filePath("agreement.pdf"));
    QVERIFY(pdf);
    QCOMPARE(pdf->pages.size(), 1);
    QCOMPARE(printedText(*pdf), fixtures::comparable(shown));
    QVERIFY(printedText(*pdf).startsWith(getAppTitle() + "End-UserLicenseAgreement"));

    // A long text is paginated, not cut.
    QString longText;
    for (int i = 0; i < 400; ++i)
        longText += QString("Line %1 of the agreement.\n").arg(i);
    viewer.ui()->descriptionTextView->setPlainText(longText);
    QVERIFY(viewer.savePanelDidEnd(dir.filePath("long.pdf"), QDialog::Accepted));
    const auto longPdf = fixtures::readPdfText(dir.filePath("long.pdf"));
    QVERIFY(longPdf && longPdf->pages.size() > 3);
    QCOMPARE(printedText(*longPdf), fixtures::comparable(longText));
}

void WindowsTest::commandsReachTheWindows()
{
    auto delegate = listfixture::makeWindow();
    Ui::MainWindow& ui = *delegate->ui();
    ui.importBtn->click();
    QVERIFY(delegate->importFilesPanel() && delegate->importFilesPanel()->isVisible());
    delegate->importFilesPanel()->cancelAction();
    ui.importMenuItem->trigger();
    QVERIFY(delegate->importFilesPanel()->isVisible());
    delegate->importFilesPanel()->cancelAction();

    // About from the menu and from the toolbar; the agreement from its menu item.
    for (QAction* item : {ui.aboutMenuItem, ui.mainToolBar->actions().at(0)}) {
        QPointer<AboutWindowController> previous = delegate->aboutWindowController();
        item->trigger();
        QVERIFY(previous.isNull());
        QVERIFY(delegate->aboutWindowController() && delegate->aboutWindowController()->isVisible());
        delegate->aboutWindowController()->okAction();
    }
    delegate->window()->findChild<QAction*>("licenseAgreementMenuItem")->trigger();
    QVERIFY(delegate->eulaWindowController() && delegate->eulaWindowController()->isVisible());
}

QTEST_MAIN(WindowsTest)
#include "tst_windows.moc"
