#include "ListWindowFixture.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QtTest>

using namespace listfixture;

namespace {

// Drags `data` over the list, and drops it there when `release` is set. Answers whether the
// list offered to take it, or took it.
bool drag(FolimeterAppDelegate& delegate, const QMimeData& data, bool release = false, QPoint at = QPoint(20, 20))
{
    QWidget* viewport = delegate.ui()->mainTableView->viewport();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    if (!release)
        return enter.isAccepted() && enter.dropAction() == Qt::CopyAction;
    QDropEvent event(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &event);
    return event.isAccepted();
}

std::unique_ptr<QMimeData> urlData(const QStringList& paths, const QList<QUrl>& others = {})
{
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls << QUrl::fromLocalFile(path);
    data->setUrls(urls + others);
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
    void refusedWithoutLocalUrlsAndFromTheListItself();
    void refusedWhileAJobRunsAndUntilItHasEnded();

private:
    QTemporaryDir m_files;
    QString m_folder;
};

void DragAndDropTest::initTestCase()
{
    useScratchSettings();
    m_folder = m_files.filePath("folder");
    QVERIFY(QDir().mkpath(m_folder + "/sub"));
    QVERIFY(fixtures::writeTiff(m_folder + "/a.tif", {.pages = 3}));
    QVERIFY(fixtures::writePdf(m_folder + "/sub/b.pdf", {.pages = 2}));
    QVERIFY(fixtures::writePdf(m_files.filePath("c.pdf"), {.pages = 5}));
    QVERIFY(fixtures::writeBytes(m_files.filePath("d.txt"), "text"));
}

void DragAndDropTest::dropStartsOneJobOverTheLocalUrls()
{
    auto delegate = makeWindow();
    Ui::MainWindow& ui = *delegate->ui();
    ui.inculdeSubfoldersBtn->setChecked(false);
    const auto data = urlData({m_folder, m_files.filePath("c.pdf"), m_files.filePath("d.txt")},
                              {QUrl("https://example.invalid/e.pdf")});
    QVERIFY(drag(*delegate, *data));
    QVERIFY(ui.mainTableView->isDropHighlighted());
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(ui.mainTableView->viewport(), &leave);
    QVERIFY(!ui.mainTableView->isDropHighlighted());

    QVERIFY(drag(*delegate, *data, true));
    QVERIFY(!ui.mainTableView->isDropHighlighted());
    QVERIFY(delegate->waitForJob(20000));
    QCOMPARE(listedPaths(*delegate), (QStringList{m_folder + "/a.tif", m_files.filePath("c.pdf")}));

    // A second drop, onto a row this time, adds only what is new; the subfolders box counts
    // as it stood at the drop.
    ui.inculdeSubfoldersBtn->setChecked(true);
    QVERIFY(drag(*delegate, *urlData({m_folder, m_files.filePath("c.pdf")}), true, QPoint(5, 2)));
    ui.inculdeSubfoldersBtn->setChecked(false);
    QVERIFY(delegate->waitForJob(20000));
    QCOMPARE(listedPaths(*delegate),
             (QStringList{m_folder + "/a.tif", m_files.filePath("c.pdf"), m_folder + "/sub/b.pdf"}));
}

void DragAndDropTest::refusedWithoutLocalUrlsAndFromTheListItself()
{
    auto delegate = makeWindow();
    CustomTableView* table = delegate->ui()->mainTableView;
    const auto remote = urlData({}, {QUrl("https://example.invalid/e.pdf")});
    QMimeData text;
    text.setText(m_files.filePath("c.pdf"));
    for (const QMimeData* data : std::initializer_list<const QMimeData*>{remote.get(), &text}) {
        QVERIFY(!drag(*delegate, *data));
        QVERIFY(!table->isDropHighlighted());
        QVERIFY(!drag(*delegate, *data, true));
    }
    const auto local = urlData({m_files.filePath("c.pdf")});
    QVERIFY(delegate->tableViewValidateDrop(local.get(), nullptr));
    QVERIFY(!delegate->tableViewValidateDrop(local.get(), table));
    QVERIFY(!delegate->tableViewValidateDrop(local.get(), table->viewport()));
    QVERIFY(!delegate->hasRunningJob());
    QVERIFY(delegate->files().isEmpty());
}

void DragAndDropTest::refusedWhileAJobRunsAndUntilItHasEnded()
{
    QTemporaryDir dir;
    const QString slow = makeSlowTree(dir.path(), 120); // keeps the job busy while the test drags
    QVERIFY(!slow.isEmpty());
    auto delegate = makeWindow();
    const auto data = urlData({m_files.filePath("c.pdf")});
    QVERIFY(delegate->loadURLsInBackground(Arguments{{QUrl::fromLocalFile(slow)}, true, false}));
    QTRY_VERIFY_WITH_TIMEOUT(delegate->isProcessing(), 20000);
    QVERIFY(!drag(*delegate, *data));
    QVERIFY(!delegate->ui()->mainTableView->isDropHighlighted());
    QVERIFY(!drag(*delegate, *data, true));
    QVERIFY(!delegate->tableViewAcceptDrop(data.get()));

    // Cancel: until the job's thread has ended, drops are still refused.
    delegate->cancelAction();
    if (delegate->hasRunningJob())
        QVERIFY(!drag(*delegate, *data));
    QVERIFY(delegate->waitForJob(20000));
    QVERIFY(!listedPaths(*delegate).contains(m_files.filePath("c.pdf")));
    QVERIFY(drag(*delegate, *data));
}

QTEST_MAIN(DragAndDropTest)
#include "tst_dragdrop.moc"
