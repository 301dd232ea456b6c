#include "app/ButtonKeyCharacter.h"
#include "app/FolimeterAppDelegate.h"
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

QString inCurrentFolder(const QString& line)
{
    QString base = QDir::currentPath();
    if (!base.endsWith('/'))
        base += '/';
    return base + line;
}

// The alerts the dialog shows that are still open.
QList<QMessageBox*> openAlerts(QWidget* dialog)
{
    QList<QMessageBox*> alerts;
    for (QMessageBox* box : dialog->findChildren<QMessageBox*>()) {
        if (box->isVisible())
            alerts << box;
    }
    return alerts;
}

// Waits for the one alert, checks its text and title, and closes it.
bool takeAlert(QWidget* dialog, const QString& expected)
{
    if (!QTest::qWaitFor([&] { return openAlerts(dialog).size() == 1; }, 5000))
        return false;
    QMessageBox* alert = openAlerts(dialog).constFirst();
    const bool ok = alert->text() == expected && alert->windowTitle() == getAppTitle();
    alert->close();
    return ok && QTest::qWaitFor([&] { return openAlerts(dialog).isEmpty(); }, 5000);
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
    void initTestCase();
    void parsingRules();
    void listFiles();
    void pipeIsNotReadAsAList();
    void pasteFromClipboard();
    void modesAndKeyCharacters();
    void alertsKeepTheDialogOpen();
    void importHandsOverOnceAndCloses();
    void cancelAddsNothingAndNextOpeningStartsEmpty();
    void importedFilesLandInTheMainList();

private:
    QTemporaryDir m_config;
};

void ImportFilesTest::initTestCase()
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

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

void ImportFilesTest::parsingRules()
{
    Dialog d;
    // Windows line ends: the carriage return before a line feed, and at the end, is line end.
    QCOMPARE(d.parse("/a/x.pdf\r\n/b/y.TIF\r\n/c/z.tiff\r"), QStringList({"/a/x.pdf", "/b/y.TIF", "/c/z.tiff"}));
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 3"));
    // A trailing blank is part of the extension; leading blanks make a relative path.
    QCOMPARE(d.parse("/a/x.pdf \n  /b/y.pdf"), QStringList({inCurrentFolder("  /b/y.pdf")}));
    // A comma does not separate entries.
    QCOMPARE(d.parse("/a/x.pdf,/b/y.pdf"), QStringList({"/a/x.pdf,/b/y.pdf"}));
    // Extensions in any letter case; no others, no empty ones.
    QCOMPARE(d.parse("/a.Tif\n/b.TIFF\n/c.pdf\n/d.tif.bak\n/e\n\n/f.txt"),
             QStringList({"/a.Tif", "/b.TIFF", "/c.pdf"}));
    // Repeats keep the first place; letter case makes a different path.
    QCOMPARE(d.parse("/b/c.pdf\n/a/x.tif\n/b/c.pdf\n/b/C.pdf"), QStringList({"/b/c.pdf", "/a/x.tif", "/b/C.pdf"}));
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 3"));
    // Relative lines, "~" included, are taken against the current folder, once.
    QCOMPARE(d.parse("x.pdf\n~/y.pdf"), QStringList({inCurrentFolder("x.pdf"), inCurrentFolder("~/y.pdf")}));
    QVERIFY(!d.controller.files().constFirst().toLocalFile().startsWith(QDir::homePath() + "/y"));
    // Nothing accepted: empty list, count 0.
    QCOMPARE(d.parse("/a/x.doc"), QStringList());
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 0"));
    QCOMPARE(d.parse(QString()), QStringList());

    // Before the owner sets the types, nothing is accepted (not every extension-less line).
    ImportFilesWindowController bare;
    bare.parseText("/a/x.pdf\n/b/c");
    QTRY_VERIFY(!bare.isParsing());
    QVERIFY(bare.files().isEmpty());
}

void ImportFilesTest::listFiles()
{
    QTemporaryDir dir;
    Dialog d;
    const QString crlf = dir.filePath("crlf.txt");
    QVERIFY(fixtures::writeBytes(crlf, "/a/x.pdf\r\n/b/Y.Tiff\r\n/c/z.doc\r\n/a/x.pdf\r\n"));
    d.controller.parseFile(crlf);
    QCOMPARE(d.controller.ui()->importFile->text(), crlf);
    QTRY_VERIFY(!d.controller.isParsing());
    QCOMPARE(fixtures::localPaths(d.controller.files()), QStringList({"/a/x.pdf", "/b/Y.Tiff"}));
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 2"));

    // Latin-1 bytes are not UTF-8: nothing, not a partial list.
    const QString latin1 = dir.filePath("latin1.txt");
    QVERIFY(fixtures::writeBytes(latin1, "/a/x.pdf\n/b/\xe9t\xe9.pdf\n"));
    d.controller.parseFile(latin1);
    QTRY_VERIFY(!d.controller.isParsing());
    QVERIFY(d.controller.files().isEmpty());
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 0"));

    d.controller.parseFile(dir.filePath("missing.txt"));
    QTRY_VERIFY(!d.controller.isParsing());
    QVERIFY(d.controller.files().isEmpty());
}

void ImportFilesTest::pipeIsNotReadAsAList()
{
    // Reading a pipe nobody writes to would never end.
    QTemporaryDir dir;
    const QString fifo = dir.filePath("list.txt");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    Dialog d;
    d.controller.parseFile(fifo);
    QTRY_VERIFY_WITH_TIMEOUT(!d.controller.isParsing(), 3000);
    QVERIFY(d.controller.files().isEmpty());
}

void ImportFilesTest::pasteFromClipboard()
{
    Dialog d;
    Ui::ImportFiles& ui = *d.controller.ui();
    d.controller.importMethodChanged(ui.importFromTextBtn);

    QGuiApplication::clipboard()->setText("a.txt\n/b/c.PDF\n/b/c.PDF");
    QTest::mouseClick(ui.pasteFromClipboardBtn, Qt::LeftButton);
    QTRY_VERIFY(!d.controller.isParsing());
    QCOMPARE(ui.importText->toPlainText(), QStringLiteral("/b/c.PDF"));
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 1"));

    // A second paste replaces the text, keeping the order of first appearance.
    QGuiApplication::clipboard()->setText("/z.tif\r\n/y.pdf\r\n/z.tif\r\n");
    d.controller.pasetFromClipboardAction();
    QTRY_VERIFY(!d.controller.isParsing());
    QCOMPARE(ui.importText->toPlainText(), QStringLiteral("/z.tif\n/y.pdf"));
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 2"));

    // No text on the clipboard (an image only): nothing changes.
    auto* imageOnly = new QMimeData;
    imageOnly->setImageData(QImage(4, 4, QImage::Format_RGB32));
    QGuiApplication::clipboard()->setMimeData(imageOnly);
    QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
    d.controller.pasetFromClipboardAction();
    QVERIFY(!d.controller.isParsing());
    QCOMPARE(ui.importText->toPlainText(), QStringLiteral("/z.tif\n/y.pdf"));
    QCOMPARE(d.controller.files().size(), 2);
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 2"));

    // Typing does not change the count.
    ui.importText->setPlainText("/q.pdf\n/r.pdf\n/s.pdf");
    QCOMPARE(d.count(), QStringLiteral("Total Files Found : 2"));
}

void ImportFilesTest::modesAndKeyCharacters()
{
    Dialog d;
    Ui::ImportFiles& ui = *d.controller.ui();
    // Starts in file mode.
    QVERIFY(ui.importFromFileBtn->isChecked());
    QVERIFY(!ui.importFromTextBtn->isChecked());
    QVERIFY(ui.importFile->isEnabled() && ui.browseBtn->isEnabled());
    QVERIFY(!ui.pasteFromClipboardBtn->isEnabled());

    ui.importFile->setText("/list.txt");
    clickRadio(ui.importFromTextBtn);
    QVERIFY(ui.importFromTextBtn->isChecked());
    QVERIFY(!ui.importFromFileBtn->isChecked());
    QVERIFY(!ui.importFile->isEnabled() && !ui.browseBtn->isEnabled());
    QVERIFY(ui.pasteFromClipboardBtn->isEnabled());
    QVERIFY(ui.importFile->text().isEmpty());
    const QColor activeText = ui.importText->palette().color(QPalette::Active, QPalette::Text);

    // Selecting the same mode again empties the text; a radio button is never switched off by a click.
    ui.importText->setPlainText("/a.pdf");
    clickRadio(ui.importFromTextBtn);
    QVERIFY(ui.importFromTextBtn->isChecked());
    QVERIFY(ui.importText->toPlainText().isEmpty());

    clickRadio(ui.importFromFileBtn);
    QVERIFY(ui.importFromFileBtn->isChecked() && !ui.importFromTextBtn->isChecked());
    QVERIFY(ui.importText->palette().color(QPalette::Active, QPalette::Text) != activeText);

    // A sender without a known tag leaves neither mode on.
    QPushButton other;
    other.setProperty("tag", 7);
    d.controller.importMethodChanged(&other);
    QVERIFY(!ui.importFromFileBtn->isChecked() && !ui.importFromTextBtn->isChecked());
    QVERIFY(!ui.importFile->isEnabled() && !ui.pasteFromClipboardBtn->isEnabled());

    // Marked characters: the last "F" and "T" in exact case, the first "p" and "i" in any case.
    struct Expected {
        QAbstractButton* button;
        qsizetype index;
    };
    const QString fromFile = stripMnemonics(ui.importFromFileBtn->text());
    const QString fromText = stripMnemonics(ui.importFromTextBtn->text());
    for (const Expected& e : {Expected{ui.importFromFileBtn, fromFile.lastIndexOf('F')},
                              Expected{ui.importFromTextBtn, fromText.lastIndexOf('T')},
                              Expected{ui.pasteFromClipboardBtn, 0}, Expected{ui.importBtn, 0}}) {
        const auto mark = markedKeyCharacter(e.button);
        QVERIFY2(mark.has_value(), qPrintable(e.button->objectName()));
        QCOMPARE(mark->index, e.index);
    }
    QVERIFY(fromFile.indexOf('F') < fromFile.lastIndexOf('F'));
}

void ImportFilesTest::alertsKeepTheDialogOpen()
{
    RecordingDelegate recorder;
    Dialog d;
    d.controller.setDelegate(&recorder);
    Ui::ImportFiles& ui = *d.controller.ui();
    d.controller.open();
    QVERIFY(d.controller.isVisible());

    // File mode, no path.
    QTest::mouseClick(ui.importBtn, Qt::LeftButton);
    QVERIFY(takeAlert(&d.controller, "Please select file to import!"));
    QVERIFY(d.controller.isVisible());
    QCOMPARE(d.controller.focusWidget(), ui.browseBtn);

    // File mode, a list with nothing accepted.
    QTemporaryDir dir;
    const QString list = dir.filePath("list.txt");
    QVERIFY(fixtures::writeBytes(list, "/a/notes.doc\n"));
    ui.importFile->setText(list);
    QTest::mouseClick(ui.importBtn, Qt::LeftButton);
    QVERIFY(takeAlert(&d.controller, "No File(s) Found!"));
    QVERIFY(d.controller.isVisible());
    QCOMPARE(ui.importFile->text(), list);

    // Text mode, no text.
    clickRadio(ui.importFromTextBtn);
    QTest::mouseClick(ui.importBtn, Qt::LeftButton);
    QVERIFY(takeAlert(&d.controller, "Please paste file(s) path to import!"));
    QVERIFY(d.controller.isVisible());
    QCOMPARE(d.controller.focusWidget(), ui.importText);

    // Text mode, nothing accepted: the text stays as typed.
    ui.importText->setPlainText("/a/x.pdf \n/b/y");
    QTest::mouseClick(ui.importBtn, Qt::LeftButton);
    QVERIFY(takeAlert(&d.controller, "No File(s) Found!"));
    QVERIFY(d.controller.isVisible());
    QCOMPARE(ui.importText->toPlainText(), QStringLiteral("/a/x.pdf \n/b/y"));
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
    // The dialog keeps what it handed over until it is reset.
    QCOMPARE(fixtures::localPaths(d.controller.files()), QStringList({"/a/x.pdf", "/a/z.TIF"}));

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
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    delegate.importAction();
    ImportFilesWindowController* dialog = delegate.importFilesPanel();
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    QCOMPARE(dialog->parentWidget(), delegate.window());
    Ui::ImportFiles& ui = *dialog->ui();

    clickRadio(ui.importFromTextBtn);
    QGuiApplication::clipboard()->setText("/a/x.pdf\n/a/y.pdf");
    dialog->pasetFromClipboardAction();
    QTRY_VERIFY(!dialog->isParsing());
    QCOMPARE(dialog->files().size(), 2);
    QTest::mouseClick(ui.cancelBtn, Qt::LeftButton);
    QVERIFY(!dialog->isVisible());
    QTest::qWait(100);
    QVERIFY(delegate.files().isEmpty());
    QVERIFY(!delegate.hasRunningJob());

    // Escape is Cancel too.
    delegate.importAction();
    QCOMPARE(delegate.importFilesPanel(), dialog);
    QVERIFY(dialog->isVisible());
    QVERIFY(ui.importText->toPlainText().isEmpty());
    QVERIFY(dialog->files().isEmpty());
    QCOMPARE(ui.totalFilesFound->text(), QStringLiteral("Total Files Found : 0"));
    QVERIFY(ui.importFromTextBtn->isChecked());
    QVERIFY(ui.pasteFromClipboardBtn->isEnabled());
    QTest::keyClick(dialog, Qt::Key_Escape);
    QVERIFY(!dialog->isVisible());
    QVERIFY(delegate.files().isEmpty());
}

void ImportFilesTest::importedFilesLandInTheMainList()
{
    QTemporaryDir dir;
    QVERIFY(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 3}));
    QVERIFY(fixtures::writePdf(dir.filePath("b.PDF"), {.pages = 5}));
    QVERIFY(fixtures::writeTiff(dir.filePath("c d, e.TIFF"), {.pages = 2}));
    QVERIFY(QDir().mkpath(dir.filePath("sub")));
    QVERIFY(fixtures::writePdf(dir.filePath("sub/f.pdf"), {.pages = 1}));
    const QByteArray list =
        QFile::encodeName(dir.filePath("a.tif")) + "\r\n" + QFile::encodeName(dir.filePath("b.PDF")) + "\r\n" +
        QFile::encodeName(dir.filePath("notes.txt")) + "\r\n" + QFile::encodeName(dir.filePath("c d, e.TIFF")) +
        "\r\n" + QFile::encodeName(dir.filePath("a.tif")) + "\r\n" + "sub/f.pdf\r\n";
    QVERIFY(fixtures::writeBytes(dir.filePath("list.txt"), list));

    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    // Subfolders on: still only the named files are added.
    delegate.ui()->inculdeSubfoldersBtn->setChecked(true);
    delegate.importAction();
    ImportFilesWindowController* dialog = delegate.importFilesPanel();
    QVERIFY(dialog);
    clickRadio(dialog->ui()->importFromFileBtn);

    // The relative line is taken against the current folder at parse time.
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    dialog->ui()->importFile->setText(dir.filePath("list.txt"));
    QTest::mouseClick(dialog->ui()->importBtn, Qt::LeftButton);
    QTRY_VERIFY(!dialog->isParsing());
    QVERIFY(QDir::setCurrent(saved));
    QVERIFY(!dialog->isVisible());

    QVERIFY(delegate.waitForJob(20000));
    QVERIFY(!delegate.isProcessing());
    QStringList names;
    int pages = 0;
    for (const auto& item : delegate.files()) {
        names << item->name();
        pages += item->pages();
    }
    names.sort();
    QCOMPARE(names, QStringList({"a.tif", "b.PDF", "c d, e.TIFF", "f.pdf"}));
    QCOMPARE(pages, 11);
    // One job took all four.
    QCOMPARE(delegate.jobProgress().admitted.load(), 4);
    QCOMPARE(delegate.ui()->mainTableView->model()->rowCount(), 4);
    QVERIFY(delegate.ui()->lableDragAndDrop->isHidden());
}

QTEST_MAIN(ImportFilesTest)
#include "tst_importfiles.moc"
