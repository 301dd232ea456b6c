#include "ListWindowFixture.h"
#include "app/ButtonKeyCharacter.h"
#include "app/Utilities.h"
#include "gather/ImportFilesWindowController.h"
#include "gather/ImportFilesWindowControllerDelegate.h"
#include "support/Fixtures.h"
#include "ui_ImportFiles.h"
#include "ui_MainWindow.h"

#include <QClipboard>
#include <QMainWindow>
#include <QMessageBox>
#include <QMimeData>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Counts hand-overs and keeps what the dialog held at each.
class RecordingDelegate : public ImportFilesWindowControllerDelegate {
public:
    void ImportFilesWindowControllerDidFinish(ImportFilesWindowController* controller) override
    {
        handOvers.append(controller->files());
    }
    QList<QList<QUrl>> handOvers;
};

// Waits for the dialog's alert, closes it, and answers "title: text".
QString takeAlert(QWidget* dialog)
{
    QMessageBox* alert = nullptr;
    const auto shown = [&] {
        for (QMessageBox* box : dialog->findChildren<QMessageBox*>())
            alert = box->isVisible() ? box : alert;
        return alert != nullptr;
    };
    if (!QTest::qWaitFor(shown, 5000))
        return "(no alert)";
    const QString seen = alert->windowTitle() + ": " + alert->text();
    alert->close();
    return seen;
}

// A click on the radio button's indicator (its middle can lie past the label, outside the
// part that takes clicks).
void clickRadio(QAbstractButton* radio)
{
    QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(6, radio->height() / 2));
}

} // namespace

class ImportFilesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { listfixture::useScratchSettings(); }
    void parsingShowsTheCount();
    void modesAndPaste();
    void alertsKeepTheDialogOpen();
    void importHandsOverOnceAndCloses();
    void cancelAddsNothingAndNextOpeningStartsEmpty();
    void importedFilesLandInTheMainList();
};

// One dialog set up as its owner sets it; parse() waits for the worker.
struct Dialog {
    ImportFilesWindowController controller;
    Dialog() { controller.setAllowedTypes(allowedFileTypes().join(',')); }
    QStringList parse(const QString& text)
    {
        controller.parseText(text);
        if (!QTest::qWaitFor([&] { return !controller.isParsing(); }, 5000))
            return {"(parse did not end)"};
        return fixtures::localPaths(controller.files());
    }
    QString count() const { return controller.ui()->totalFilesFound->text(); }
};

void ImportFilesTest::parsingShowsTheCount()
{
    Dialog d;
    QCOMPARE(d.parse("/a/x.pdf\r\n/b/y.TIF\r\n/b/y.TIF\r\n/c/z.doc\r\nrel.tiff"),
             QStringList({"/a/x.pdf", "/b/y.TIF", QDir::current().filePath("rel.tiff")}));
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 3"));
    QCOMPARE(d.parse("/a/x.doc"), QStringList());
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 0"));

    // A list file: its path is shown.
    QTemporaryDir dir;
    const QString list = dir.filePath("list.txt");
    QVERIFY(fixtures::writeBytes(list, "/a/x.pdf\n/b/Y.Tiff\n"));
    d.controller.parseFile(list);
    QCOMPARE(d.controller.ui()->importFile->text(), list);
    QTRY_VERIFY(!d.controller.isParsing());
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 2"));

    // Reading a pipe nobody writes to would never end: it gives nothing.
    const QString fifo = dir.filePath("fifo.txt");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    d.controller.parseFile(fifo);
    QTRY_VERIFY_WITH_TIMEOUT(!d.controller.isParsing(), 3000);
    QVERIFY(d.controller.files().isEmpty());

    // Before the owner sets the types, nothing is accepted.
    ImportFilesWindowController bare;
    bare.parseText("/a/x.pdf\n/b/c");
    QTRY_VERIFY(!bare.isParsing());
    QVERIFY(bare.files().isEmpty());
}

void ImportFilesTest::modesAndPaste()
{
    Dialog d;
    Ui::ImportFiles& ui = *d.controller.ui();
    // Starts in file mode; text mode empties the path and greys nothing but the file widgets.
    QVERIFY(ui.importFromFileBtn->isChecked() && ui.importFile->isEnabled() && ui.browseBtn->isEnabled());
    QVERIFY(!ui.pasteFromClipboardBtn->isEnabled());
    ui.importFile->setText("/list.txt");
    clickRadio(ui.importFromTextBtn);
    QVERIFY(ui.importFromTextBtn->isChecked() && !ui.importFromFileBtn->isChecked());
    QVERIFY(!ui.importFile->isEnabled() && !ui.browseBtn->isEnabled() && ui.pasteFromClipboardBtn->isEnabled());
    QVERIFY(ui.importFile->text().isEmpty());
    const QColor activeText = ui.importText->palette().color(QPalette::Active, QPalette::Text);

    // A paste replaces the text with the accepted lines, in the order of first appearance.
    QGuiApplication::clipboard()->setText("a.txt\n/z.tif\r\n/y.PDF\r\n/z.tif\r\n");
    QTest::mouseClick(ui.pasteFromClipboardBtn, Qt::LeftButton);
    QTRY_VERIFY(!d.controller.isParsing());
    QCOMPARE(ui.importText->toPlainText(), QStringLiteral("/z.tif\n/y.PDF"));
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 2"));
    // No text on the clipboard (an image only), or typing: the text or the count stay.
    auto* imageOnly = new QMimeData;
    imageOnly->setImageData(QImage(4, 4, QImage::Format_RGB32));
    QGuiApplication::clipboard()->setMimeData(imageOnly);
    d.controller.pasetFromClipboardAction();
    QVERIFY(!d.controller.isParsing());
    QCOMPARE(ui.importText->toPlainText(), QStringLiteral("/z.tif\n/y.PDF"));
    ui.importText->setPlainText("/q.pdf\n/r.pdf\n/s.pdf");
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 2"));

    // Selecting the same mode again empties the text; a click never switches a mode off.
    clickRadio(ui.importFromTextBtn);
    QVERIFY(ui.importFromTextBtn->isChecked());
    QVERIFY(ui.importText->toPlainText().isEmpty());
    clickRadio(ui.importFromFileBtn);
    QVERIFY(ui.importFromFileBtn->isChecked() && !ui.importFromTextBtn->isChecked());
    QVERIFY(ui.importText->palette().color(QPalette::Active, QPalette::Text) != activeText);

    // Marked characters: the last "F" and "T" in exact case, the first "p" and "i" in any case.
    const QString fromFile = stripMnemonics(ui.importFromFileBtn->text());
    const QString fromText = stripMnemonics(ui.importFromTextBtn->text());
    QVERIFY(fromFile.indexOf('F') < fromFile.lastIndexOf('F'));
    for (const auto& [button, index] :
         QList<std::pair<QAbstractButton*, qsizetype>>{{ui.importFromFileBtn, fromFile.lastIndexOf('F')},
                                                       {ui.importFromTextBtn, fromText.lastIndexOf('T')},
                                                       {ui.pasteFromClipboardBtn, 0},
                                                       {ui.importBtn, 0}}) {
        const auto mark = markedKeyCharacter(button);
        QVERIFY2(mark.has_value(), qPrintable(button->objectName()));
        QCOMPARE(mark->index, index);
    }
}

void ImportFilesTest::alertsKeepTheDialogOpen()
{
    RecordingDelegate recorder;
    Dialog d;
    d.controller.setDelegate(&recorder);
    Ui::ImportFiles& ui = *d.controller.ui();
    d.controller.open();
    QTemporaryDir dir;
    const QString list = dir.filePath("list.txt");
    QVERIFY(fixtures::writeBytes(list, "/a/notes.doc\n"));
    // Mode, path or text, the alert, and where the focus goes.
    const QList<std::tuple<QAbstractButton*, QString, QString, QWidget*>> cases = {
        {ui.importFromFileBtn, "", "Please select file to import!", ui.browseBtn},
        {ui.importFromFileBtn, list, "No File(s) Found!", nullptr},
        {ui.importFromTextBtn, "", "Please paste file(s) path to import!", ui.importText},
        {ui.importFromTextBtn, "/a/x.pdf \n/b/y", "No File(s) Found!", nullptr}};
    for (const auto& [mode, input, alert, focus] : cases) {
        if (!mode->isChecked())
            clickRadio(mode);
        mode == ui.importFromFileBtn ? ui.importFile->setText(input) : ui.importText->setPlainText(input);
        QTest::mouseClick(ui.importBtn, Qt::LeftButton);
        QCOMPARE(takeAlert(&d.controller), "Folimeter: " + alert);
        QVERIFY(d.controller.isVisible());
        if (focus)
            QCOMPARE(d.controller.focusWidget(), focus);
        QCOMPARE(mode == ui.importFromFileBtn ? ui.importFile->text() : ui.importText->toPlainText(), input);
    }
    QVERIFY(recorder.handOvers.isEmpty());
}

void ImportFilesTest::importHandsOverOnceAndCloses()
{
    RecordingDelegate recorder;
    Dialog d;
    d.controller.setDelegate(&recorder);
    Ui::ImportFiles& ui = *d.controller.ui();
    d.controller.open();
    clickRadio(ui.importFromTextBtn);

    // A paste, then an edit: the edited text is what is imported.
    QGuiApplication::clipboard()->setText("/a/x.pdf\n/a/y.pdf");
    d.controller.pasetFromClipboardAction();
    QTRY_VERIFY(!d.controller.isParsing());
    ui.importText->setPlainText("/a/x.pdf\n/a/z.TIF\n/a/x.pdf");
    QTest::mouseClick(ui.importBtn, Qt::LeftButton);
    QTRY_VERIFY(!d.controller.isVisible());
    QCOMPARE(recorder.handOvers.size(), 1);
    QCOMPARE(fixtures::localPaths(recorder.handOvers.constFirst()), QStringList({"/a/x.pdf", "/a/z.TIF"}));

    // Cancel while a parse is still to deliver hands nothing over.
    d.controller.open();
    ui.importText->setPlainText("/b/q.pdf");
    QTest::mouseClick(ui.importBtn, Qt::LeftButton);
    d.controller.cancelAction();
    QTest::qWait(200);
    QCOMPARE(recorder.handOvers.size(), 1);
    QVERIFY(!d.controller.isVisible());
}

void ImportFilesTest::cancelAddsNothingAndNextOpeningStartsEmpty()
{
    auto delegate = listfixture::makeWindow();
    for (const bool escape : {false, true}) {
        delegate->importAction();
        ImportFilesWindowController* dialog = delegate->importFilesPanel();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->windowModality(), Qt::WindowModal);
        QCOMPARE(dialog->parentWidget(), delegate->window());
        Ui::ImportFiles& ui = *dialog->ui();
        QVERIFY(ui.importText->toPlainText().isEmpty() && dialog->files().isEmpty());
        QCOMPARE(ui.totalFilesFound->text(), QStringLiteral("Total Files Found : 0"));
        QCOMPARE(ui.importFromTextBtn->isChecked(), escape); // the mode is kept from the last opening
        if (!escape)
            clickRadio(ui.importFromTextBtn);
        QGuiApplication::clipboard()->setText("/a/x.pdf\n/a/y.pdf");
        dialog->pasetFromClipboardAction();
        QTRY_COMPARE(dialog->files().size(), 2);
        if (escape)
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            QTest::mouseClick(ui.cancelBtn, Qt::LeftButton);
        QVERIFY(!dialog->isVisible());
        QTest::qWait(100);
        QVERIFY(delegate->files().isEmpty());
        QVERIFY(!delegate->hasRunningJob());
    }
}

void ImportFilesTest::importedFilesLandInTheMainList()
{
    QTemporaryDir dir;
    QVERIFY(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 3}));
    QVERIFY(fixtures::writePdf(dir.filePath("b.PDF"), {.pages = 5}));
    QVERIFY(QDir().mkpath(dir.filePath("sub")));
    QVERIFY(fixtures::writePdf(dir.filePath("sub/f.pdf"), {.pages = 1}));
    const QByteArray list = QFile::encodeName(dir.filePath("a.tif")) + "\r\n" +
                            QFile::encodeName(dir.filePath("b.PDF")) + "\r\nnotes.txt\r\nsub/f.pdf\r\n";
    QVERIFY(fixtures::writeBytes(dir.filePath("list.txt"), list));

    auto delegate = listfixture::makeWindow();
    // Subfolders on: still only the named files are added.
    delegate->ui()->inculdeSubfoldersBtn->setChecked(true);
    delegate->importAction();
    ImportFilesWindowController* dialog = delegate->importFilesPanel();
    clickRadio(dialog->ui()->importFromFileBtn);
    // The relative line is taken against the current folder at parse time.
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    dialog->ui()->importFile->setText(dir.filePath("list.txt"));
    QTest::mouseClick(dialog->ui()->importBtn, Qt::LeftButton);
    QTRY_VERIFY(!dialog->isParsing());
    QVERIFY(QDir::setCurrent(saved));
    QVERIFY(!dialog->isVisible());

    QVERIFY(delegate->waitForJob(20000));
    QCOMPARE(listfixture::names(*delegate), QStringList({"a", "b", "f"}));
    QCOMPARE(delegate->jobProgress().admitted.load(), 3); // one job took them all
    QVERIFY(delegate->ui()->lableDragAndDrop->isHidden());
}

QTEST_MAIN(ImportFilesTest)
#include "tst_importfiles.moc"
