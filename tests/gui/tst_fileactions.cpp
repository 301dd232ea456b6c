// The file actions against a stand-in file manager on a private session bus: the test runs
// under dbus-run-session, and a second connection of this process plays
// org.freedesktop.FileManager1.

#include "ListWindowFixture.h"

#include "list/FileManagerClient.h"
#include "list/FilePropertiesDialog.h"
#include "support/Fixtures.h"
#include "ui_FilePropertiesDialog.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace listfixture;

// Records every call; answers with an error while `failing` is set.
class FakeFileManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    struct Call {
        QString method;
        QStringList uris;
    };
    QList<Call> calls;
    bool failing = false;

public slots:
    void ShowItems(const QStringList& uris, const QString& startupId) { record("ShowItems", uris, startupId); }
    void ShowItemProperties(const QStringList& uris, const QString& startupId)
    {
        record("ShowItemProperties", uris, startupId);
    }

private:
    void record(const QString& method, const QStringList& uris, const QString&)
    {
        calls.append({method, uris});
        if (failing)
            sendErrorReply(QDBusError::Failed, "cannot show that");
    }
};

namespace {

const QString kBusName = "fake-file-manager";

} // namespace

class FileActionsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void openFilesOpensEachSelectedFileInRowOrder();
    void fileManagerGetsOneCallWithEverySelectedFile();
    void withoutAFileManagerTheFallbacksRun_data();
    void withoutAFileManagerTheFallbacksRun();

private:
    std::unique_ptr<FolimeterAppDelegate> makeListedWindow();
    bool serve();

    QTemporaryDir m_files;
    QStringList m_paths;
    FakeFileManager m_fake;
    QList<QUrl> m_opened;
};

void FileActionsTest::initTestCase()
{
    useScratchSettings();
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        QSKIP("needs a private session bus: run under dbus-run-session");
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "the session bus does not answer");
    QVERIFY(QDir().mkpath(m_files.filePath("sub dir")));
    m_paths = {m_files.filePath("first.tif"), m_files.filePath("sub dir/my file #2 \u00e9.pdf"),
               m_files.filePath("third.tif")};
    QVERIFY(fixtures::writeTiff(m_paths[0], {.pages = 2}));
    QVERIFY(fixtures::writePdf(m_paths[1], {.pages = 3}));
    QVERIFY(fixtures::writeTiff(m_paths[2], {.pages = 1}));
}

void FileActionsTest::cleanup()
{
    QDBusConnection bus(kBusName);
    if (bus.isConnected()) {
        bus.unregisterService(FileManagerClient::kService);
        bus.unregisterObject(FileManagerClient::kPath);
        QDBusConnection::disconnectFromBus(kBusName);
        QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(FileManagerClient::kService));
    }
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<FilePropertiesDialog*>(widget))
            widget->close();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_fake.calls.clear();
    m_fake.failing = false;
    m_opened.clear();
}

std::unique_ptr<FolimeterAppDelegate> FileActionsTest::makeListedWindow()
{
    auto delegate = makeWindow();
    for (const QString& path : m_paths)
        delegate->files().append(FileItem::fromNativePath(QFile::encodeName(path)));
    delegate->refreshAfterListChange();
    delegate->setUrlOpener([this](const QUrl& url) {
        m_opened << url;
        return true;
    });
    return delegate;
}

bool FileActionsTest::serve()
{
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, kBusName);
    return bus.isConnected() &&
           bus.registerObject(FileManagerClient::kPath, &m_fake, QDBusConnection::ExportAllSlots) &&
           bus.registerService(FileManagerClient::kService);
}

void FileActionsTest::openFilesOpensEachSelectedFileInRowOrder()
{
    auto delegate = makeListedWindow();
    selectRows(*delegate, {});
    delegate->openFiles();
    QVERIFY(m_opened.isEmpty());

    selectRows(*delegate, {2, 0, 1});
    delegate->openFiles();
    QCOMPARE(m_opened, (QList<QUrl>{QUrl::fromLocalFile(m_paths[0]), QUrl::fromLocalFile(m_paths[1]),
                                    QUrl::fromLocalFile(m_paths[2])}));
    m_opened.clear();
    selectRows(*delegate, {1});
    delegate->ui()->openFileButton->click();
    QCOMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile(m_paths[1])});
}

void FileActionsTest::fileManagerGetsOneCallWithEverySelectedFile()
{
    QVERIFY(serve());
    auto delegate = makeListedWindow();
    QSignalSpy finished(delegate->fileManager(), &FileManagerClient::callFinished);

    selectRows(*delegate, {0, 1, 2});
    delegate->openEnclodingFolder();
    QVERIFY(m_fake.calls.isEmpty()); // the window does not wait for the file manager
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.first().at(0).toString(), QString("ShowItems"));
    QVERIFY(finished.first().at(1).toBool());
    QCOMPARE(m_fake.calls.size(), 1);
    QCOMPARE(m_fake.calls.first().method, QString("ShowItems"));
    const QStringList uris = m_fake.calls.first().uris;
    QCOMPARE(uris.size(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(QUrl(uris[i]).toLocalFile(), m_paths[i]);
    QVERIFY(uris[1].contains("my%20file%20%232%20%C3%A9.pdf"));

    // Properties of the selected rows only.
    selectRows(*delegate, {0, 2});
    delegate->getInfo();
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(m_fake.calls.last().method, QString("ShowItemProperties"));
    QCOMPARE(m_fake.calls.last().uris, (QStringList{QUrl::fromLocalFile(m_paths[0]).toString(QUrl::FullyEncoded),
                                                    QUrl::fromLocalFile(m_paths[2]).toString(QUrl::FullyEncoded)}));
    QVERIFY(m_opened.isEmpty());

    // Nothing selected: nothing asked.
    selectRows(*delegate, {});
    delegate->getInfo();
    delegate->openEnclodingFolder();
    QTest::qWait(50);
    QCOMPARE(m_fake.calls.size(), 2);
}

void FileActionsTest::withoutAFileManagerTheFallbacksRun_data()
{
    QTest::addColumn<bool>("errorReply");
    QTest::newRow("no file manager") << false;
    QTest::newRow("error reply") << true;
}

void FileActionsTest::withoutAFileManagerTheFallbacksRun()
{
    QFETCH(bool, errorReply);
    if (errorReply) {
        QVERIFY(serve());
        m_fake.failing = true;
    }
    auto delegate = makeListedWindow();
    QSignalSpy finished(delegate->fileManager(), &FileManagerClient::callFinished);

    // Two files of one folder and one of another: each folder opened once.
    selectRows(*delegate, {0, 1, 2});
    delegate->openEnclodingFolder();
    QTRY_COMPARE(finished.count(), 1);
    QVERIFY(!finished.first().at(1).toBool());
    QCOMPARE(m_fake.calls.size(), errorReply ? 1 : 0);
    QCOMPARE(m_opened,
             (QList<QUrl>{QUrl::fromLocalFile(m_files.path()), QUrl::fromLocalFile(m_files.filePath("sub dir"))}));

    // The in-app properties window, one per file, even when the list has lost the file.
    selectRows(*delegate, {1, 2});
    delegate->getInfo();
    delegate->files().clear();
    delegate->refreshAfterListChange();
    QTRY_COMPARE(finished.count(), 2);
    QList<FilePropertiesDialog*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<FilePropertiesDialog*>(widget); dialog && dialog->isVisible())
            windows << dialog;
    }
    QCOMPARE(windows.size(), 2);
    FilePropertiesDialog* dialog =
        windows.first()->ui()->nameValue->text() == "third.tif" ? windows.last() : windows.first();
    Ui::FilePropertiesDialog& ui = *dialog->ui();
    QCOMPARE(ui.nameValue->text(), QString("my file #2 \u00e9.pdf"));
    QCOMPARE(ui.folderValue->text(), m_files.filePath("sub dir"));
    QCOMPARE(ui.typeValue->text(), QString("PDF"));
    QCOMPARE(ui.pagesValue->text(), QString("3"));
    QVERIFY(ui.sizeValue->text().endsWith(" KB"));
    QVERIFY(!ui.modifiedValue->text().isEmpty());
}

QTEST_MAIN(FileActionsTest)
#include "tst_fileactions.moc"
