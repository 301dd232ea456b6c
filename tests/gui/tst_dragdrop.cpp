#include "app/FolimeterAppDelegate.h"
#include "support/Fixtures.h"
#include "ui_MainWindow.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QTemporaryDir>
#include <QtTest>

namespace {

enum class Answer { Refused, Accepted };

// Drags `data` over the list and answers whether the list offered to take it.
Answer dragOver(FolimeterAppDelegate& delegate, const QMimeData& data, QPoint at = QPoint(20, 20))
{
    QWidget* viewport = delegate.ui()->mainTableView->viewport();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    if (!enter.isAccepted())
        return Answer::Refused;
    return enter.dropAction() == Qt::CopyAction ? Answer::Accepted : Answer::Refused;
}

// Drags `data` over the list and drops it there; true when the list took it.
bool drop(FolimeterAppDelegate& delegate, const QMimeData& data, QPoint at = QPoint(20, 20))
{
    QWidget* viewport = delegate.ui()->mainTableView->viewport();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    QDropEvent event(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &event);
    return event.isAccepted();
}

std::unique_ptr<QMimeData> urlData(const QList<QUrl>& urls)
{
    auto data = std::make_unique<QMimeData>();
    data->setUrls(urls);
    return data;
}

QStringList listedPaths(const FolimeterAppDelegate& delegate)
{
    QStringList paths;
    for (const FileItemPtr& item : delegate.files())
        paths << item->path();
    return paths;
}

} // namespace

class DragAndDropTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void dropStartsOneJobOverTheLocalUrls();
    void includeSubfoldersAsTheBoxStoodAtTheDrop();
    void refusedWithoutLocalUrlsAndFromTheListItself();
    void refusedWhileAJobRunsAndUntilItHasEnded();

private:
    QTemporaryDir m_config;
    QTemporaryDir m_files;
    QString m_folder;
};

void DragAndDropTest::initTestCase()
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    m_folder = m_files.filePath("folder");
    QVERIFY(QDir().mkpath(m_folder + "/sub"));
    QVERIFY(fixtures::writeTiff(m_folder + "/a.tif", {.pages = 3}));
    QVERIFY(fixtures::writePdf(m_folder + "/sub/b.pdf", {.pages = 2}));
    QVERIFY(fixtures::writePdf(m_files.filePath("c.pdf"), {.pages = 5}));
    QVERIFY(fixtures::writeBytes(m_files.filePath("d.txt"), "text"));
}

void DragAndDropTest::dropStartsOneJobOverTheLocalUrls()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    Ui::MainWindow& ui = *delegate.ui();
    ui.inculdeSubfoldersBtn->setChecked(false);
    const auto data = urlData({QUrl::fromLocalFile(m_folder), QUrl::fromLocalFile(m_files.filePath("c.pdf")),
                               QUrl::fromLocalFile(m_files.filePath("d.txt")), QUrl("https://example.invalid/e.pdf")});

    QCOMPARE(dragOver(delegate, *data), Answer::Accepted);
    QVERIFY(ui.mainTableView->isDropHighlighted());
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(ui.mainTableView->viewport(), &leave);
    QVERIFY(!ui.mainTableView->isDropHighlighted());

    QVERIFY(drop(delegate, *data));
    QVERIFY(!ui.mainTableView->isDropHighlighted());
    QVERIFY(ui.lableDragAndDrop->isHidden());
    QVERIFY(delegate.waitForJob(20000));
    QCOMPARE(listedPaths(delegate), (QStringList{m_folder + "/a.tif", m_files.filePath("c.pdf")}));
    QCOMPARE(ui.labelTotalTIFFPages->text(), QString("Total Pages TIFF : 3 PDF : 5"));

    // A second drop, onto a row this time, adds only what is new.
    const auto again = urlData({QUrl::fromLocalFile(m_files.filePath("c.pdf"))});
    QCOMPARE(dragOver(delegate, *again, QPoint(5, 2)), Answer::Accepted);
    QVERIFY(drop(delegate, *again, QPoint(5, 2)));
    QVERIFY(delegate.waitForJob(20000));
    QCOMPARE(delegate.files().size(), 2);
}

void DragAndDropTest::includeSubfoldersAsTheBoxStoodAtTheDrop()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    Ui::MainWindow& ui = *delegate.ui();
    const auto data = urlData({QUrl::fromLocalFile(m_folder)});

    ui.inculdeSubfoldersBtn->setChecked(true);
    QVERIFY(drop(delegate, *data));
    ui.inculdeSubfoldersBtn->setChecked(false);
    QVERIFY(delegate.waitForJob(20000));
    QCOMPARE(listedPaths(delegate), (QStringList{m_folder + "/a.tif", m_folder + "/sub/b.pdf"}));
}

void DragAndDropTest::refusedWithoutLocalUrlsAndFromTheListItself()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    CustomTableView* table = delegate.ui()->mainTableView;

    const auto remote = urlData({QUrl("https://example.invalid/e.pdf")});
    QCOMPARE(dragOver(delegate, *remote), Answer::Refused);
    QVERIFY(!table->isDropHighlighted());
    QVERIFY(!drop(delegate, *remote));

    QMimeData text;
    text.setText(m_files.filePath("c.pdf"));
    QCOMPARE(dragOver(delegate, text), Answer::Refused);
    QVERIFY(!drop(delegate, text));
    QVERIFY(!delegate.tableViewAcceptDrop(&text));

    const auto local = urlData({QUrl::fromLocalFile(m_files.filePath("c.pdf"))});
    QVERIFY(delegate.tableViewValidateDrop(local.get(), nullptr));
    QVERIFY(!delegate.tableViewValidateDrop(local.get(), table));
    QVERIFY(!delegate.tableViewValidateDrop(local.get(), table->viewport()));

    QVERIFY(!delegate.hasRunningJob());
    QVERIFY(delegate.files().isEmpty());
}

void DragAndDropTest::refusedWhileAJobRunsAndUntilItHasEnded()
{
    // Copies of a long PDF keep the job busy while the test drags.
    QTemporaryDir dir;
    const QString slow = dir.filePath("slow");
    QVERIFY(QDir().mkpath(slow));
    QVERIFY(fixtures::writePdf(slow + "/copy000.pdf", {.pages = 2000}));
    for (int i = 1; i < 120; ++i)
        QVERIFY(QFile::copy(slow + "/copy000.pdf", slow + QString("/copy%1.pdf").arg(i, 3, 10, QChar('0'))));

    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    const auto data = urlData({QUrl::fromLocalFile(m_files.filePath("c.pdf"))});
    QVERIFY(delegate.loadURLsInBackground(Arguments{{QUrl::fromLocalFile(slow)}, true, false}));
    QTRY_VERIFY_WITH_TIMEOUT(delegate.isProcessing(), 20000);

    QCOMPARE(dragOver(delegate, *data), Answer::Refused);
    QVERIFY(!delegate.ui()->mainTableView->isDropHighlighted());
    QVERIFY(!drop(delegate, *data));
    QVERIFY(!delegate.tableViewAcceptDrop(data.get()));

    // Cancel: until the job's thread has ended, drops are still refused.
    delegate.cancelAction();
    if (delegate.hasRunningJob())
        QCOMPARE(dragOver(delegate, *data), Answer::Refused);
    QVERIFY(delegate.waitForJob(20000));
    QVERIFY(!listedPaths(delegate).contains(m_files.filePath("c.pdf")));

    QCOMPARE(dragOver(delegate, *data), Answer::Accepted);
}

QTEST_MAIN(DragAndDropTest)
#include "tst_dragdrop.moc"
