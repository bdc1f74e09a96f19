#include "ImagesFrame.h"
#include "WindowTestSupport.h"

#include <QFutureWatcherBase>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QThreadPool>
#include <QToolButton>
#include <QtEndian>

#include <zlib.h>

using namespace window_test;

namespace {

// A PNG file of a few hundred bytes whose header claims an RGB image of
// width x height: the header, then the first row of pixels alone.
QByteArray pngClaiming(quint32 width, quint32 height)
{
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    const auto chunk = [&png](const char* type, const QByteArray& data) {
        const QByteArray typed = QByteArray(type) + data;
        png += QByteArray(4, '\0');
        qToBigEndian(quint32(data.size()), png.data() + png.size() - 4);
        png += typed;
        png += QByteArray(4, '\0');
        qToBigEndian(quint32(crc32(0, reinterpret_cast<const Bytef*>(typed.constData()), uInt(typed.size()))),
                     png.data() + png.size() - 4);
    };
    QByteArray header(13, '\0');
    qToBigEndian(width, header.data());
    qToBigEndian(height, header.data() + 4);
    header[8] = 8; // bits per channel
    header[9] = 2; // RGB
    chunk("IHDR", header);
    chunk("IDAT", qCompress(QByteArray(1 + 3 * qsizetype(width), '\0')).mid(4)); // a zlib stream
    chunk("IEND", {});
    return png;
}

} // namespace

// The images page on real image files, the real SQLite store in a private
// data folder and the real thread pool; every dialog is answered by Prompts.
class ImagesFrameTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir files;
    std::unique_ptr<Prompts> prompts;

    QTableWidget* table(ImagesFrame& page) { return page.findChild<QTableWidget*>("imagesTableWidget"); }
    void click(ImagesFrame& page, const char* button) { page.findChild<QToolButton*>(button)->click(); }

    // Waits until every thumbnail job of the page has been applied.
    static bool thumbnailsDone(ImagesFrame& page)
    {
        return QTest::qWaitFor([&] { return page.findChildren<QFutureWatcherBase*>().isEmpty(); }, 20000);
    }

    // Lets the page's loader finish, so that stored rows and new rows do
    // not mix.
    static void waitForLoader()
    {
        QVERIFY(QThreadPool::globalInstance()->waitForDone(20000));
        QCoreApplication::processEvents();
    }

    // A page with one new image per path, all thumbnails in.
    void fill(ImagesFrame& page, const QStringList& paths)
    {
        waitForLoader();
        for (const QString& path : paths)
            page.appendImageFromFile(path, QStringLiteral("Example.com"));
        QVERIFY(thumbnailsDone(page));
    }

    // Day folder / site folder / name, as the capture thread files them.
    QString sitePath(const QString& site, const QString& name) const
    {
        return files.path() + QStringLiteral("/2026-12-07/") + site + QLatin1Char('/') + name;
    }

    QStringList makeImages(int count, const QString& site = QStringLiteral("example.com"))
    {
        QStringList paths;
        for (int i = 0; i < count; ++i) {
            const QString path = sitePath(site, QStringLiteral("%1_%2.png").arg(site).arg(i));
            writeImage(path, 20, 10);
            paths.append(path);
        }
        return paths;
    }

private slots:
    void init()
    {
        removeCatalogueFiles();
        prompts = std::make_unique<Prompts>();
        prompts->install();
        QSettings().clear();
    }

    void cleanup() { prompts.reset(); }

    void newFile_data()
    {
        QTest::addColumn<QString>("name");        // the suffix names the format written
        QTest::addColumn<QByteArray>("contents"); // empty: an image of the given size
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("info");
        QTest::addColumn<QSize>("thumbnail");      // invalid: no thumbnail at all
        QTest::addColumn<bool>("stored");
        QTest::addColumn<int>("refusedAsTooLarge"); // loads turned away by the allocation limit

        QTest::newRow("tall, scaled to width then height") << "new.png" << QByteArray() << QSize(1000, 2000)
            << "Size: 1000x2000" << QSize(75, 150) << true << 0;
        QTest::newRow("wide, scaled to width") << "new.png" << QByteArray() << QSize(300, 100)
            << "Size: 300x100" << QSize(267, 89) << true << 0;
        QTest::newRow("small, never enlarged") << "new.png" << QByteArray() << QSize(200, 100)
            << "Size: 200x100" << QSize(200, 100) << true << 0;
        QTest::newRow("not an image") << "new.png" << QByteArray("<html>not an image</html>") << QSize()
            << "" << QSize() << false << 0;
        QTest::newRow("WebP") << "new.webp" << QByteArray() << QSize(534, 300)
            << "Size: 534x300" << QSize(267, 150) << true << 0;
        QTest::newRow("TIFF") << "new.tiff" << QByteArray() << QSize(100, 50)
            << "Size: 100x50" << QSize(100, 50) << true << 0;
        QTest::newRow("SVG") << "new.svg"
            << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"300\" height=\"100\">"
                          "<rect width=\"300\" height=\"100\" fill=\"teal\"/></svg>")
            << QSize() << "Size: 300x100" << QSize(267, 89) << true << 0;
        // 72 megapixels decode to 275 MiB, above Qt's default limit of 128 MiB.
        QTest::newRow("9000x8000 photo") << "big.jpg" << QByteArray() << QSize(9000, 8000)
            << "Size: 9000x8000" << QSize(169, 150) << true << 0;
        // Both loads (info and thumbnail) stop at the header.
        QTest::newRow("tiny file claiming 60000x60000") << "huge.png" << pngClaiming(60000, 60000) << QSize()
            << "" << QSize() << false << 2;
    }

    void newFile()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, contents);
        QFETCH(QSize, size);
        QFETCH(QString, info);
        QFETCH(QSize, thumbnail);
        QFETCH(bool, stored);
        QFETCH(int, refusedAsTooLarge);

        const QString path = sitePath(QStringLiteral("example.com"), name);
        QVERIFY(contents.isEmpty() ? writeImage(path, size.width(), size.height()) : writeFile(path, contents));
        for (int i = 0; i < refusedAsTooLarge; ++i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("exceeds the current allocation limit"));

        ImagesFrame page;
        waitForLoader();
        page.appendImageFromFile(path, QStringLiteral("Example.com"));
        QTableWidget* rows = table(page);
        QCOMPARE(rows->rowCount(), 1);
        QCOMPARE(rows->item(0, 0)->data(Qt::UserRole).toString(), path);
        QCOMPARE(rows->item(0, 1)->text(), QStringLiteral("Example.com"));
        QCOMPARE(rows->item(0, 2)->text(), info);
        QCOMPARE(rows->item(0, 0)->textAlignment(), int(Qt::AlignHCenter | Qt::AlignVCenter));
        QCOMPARE(rows->item(0, 2)->textAlignment(), int(Qt::AlignLeft | Qt::AlignVCenter));
        QCOMPARE(rows->iconSize(), QSize(267, 150));

        QVERIFY(thumbnailsDone(page));
        QCOMPARE(rows->item(0, 0)->text(), QString());
        const QList<QSize> sizes = rows->item(0, 0)->icon().availableSizes();
        if (thumbnail.isValid())
            QCOMPARE(sizes, QList<QSize>{thumbnail});
        else
            QVERIFY2(rows->item(0, 0)->icon().isNull(), "a file that is no image ends with a blank cell");

        const QStringList expected = stored ? QStringList{path + "|Example.com|" + info} : QStringList{};
        QCOMPARE(storedRows("/images.dat", "IMAGES"), expected);
        QVERIFY(prompts->messages.isEmpty());
    }

    void storedRowsComeBackInOrderAndAreNotStoredAgain()
    {
        const QStringList paths = makeImages(3);
        {
            ImagesFrame page;
            waitForLoader();
            for (int i = 0; i < paths.size(); ++i)
                page.appendImageFromFile(paths[i], QStringLiteral("Site%1").arg(i));
            QVERIFY(thumbnailsDone(page));
        }
        // A stored info is shown as stored, not computed again.
        QSqlDatabase::database(QStringLiteral("imagesDb")).exec(
            QStringLiteral("update IMAGES set IMAGEINFO = 'as stored' where ID = 2"));

        ImagesFrame page;
        QTableWidget* rows = table(page);
        QTRY_COMPARE_WITH_TIMEOUT(rows->rowCount(), 3, 30000);
        QCOMPARE(rowFiles(rows), paths);
        QCOMPARE(rows->item(1, 1)->text(), QStringLiteral("Site1"));
        QCOMPARE(rows->item(1, 2)->text(), QStringLiteral("as stored"));
        QCOMPARE(rows->item(2, 2)->text(), QStringLiteral("Size: 20x10"));
        QVERIFY(thumbnailsDone(page));
        QCOMPARE(rows->item(2, 0)->icon().availableSizes(), QList<QSize>{QSize(20, 10)});
        QCOMPARE(storedRows("/images.dat", "IMAGES").size(), 3);
    }

    void pageGoneDuringALongLoad()
    {
        {
            ImagesFrame page; // creates the store
            waitForLoader();
        }
        {
            QSqlDatabase db = QSqlDatabase::database(QStringLiteral("imagesDb"));
            QVERIFY(db.transaction());
            QSqlQuery insert(db);
            QVERIFY(insert.prepare(QStringLiteral("INSERT INTO IMAGES (IMAGEFILE, ORIGIN, IMAGEINFO) values (?, ?, ?)")));
            for (int i = 0; i < 5000; ++i) {
                insert.addBindValue(QStringLiteral("/nowhere/%1.png").arg(i));
                insert.addBindValue(QStringLiteral("Example.com"));
                insert.addBindValue(QStringLiteral("Size: 1x1"));
                QVERIFY(insert.exec());
            }
            QVERIFY(db.commit());
        }
        auto* page = new ImagesFrame;
        QTRY_VERIFY_WITH_TIMEOUT(table(*page)->rowCount() > 0, 30000);
        delete page; // rows are still on their way
        QVERIFY(QThreadPool::globalInstance()->waitForDone(20000));
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
    }

    void thumbnailOfADeletedRowIsDropped()
    {
        const QString big = sitePath(QStringLiteral("a.com"), QStringLiteral("big.png"));
        const QString small = sitePath(QStringLiteral("b.com"), QStringLiteral("small.png"));
        QVERIFY(writeImage(big, 1000, 2000));
        QVERIFY(writeImage(small, 200, 100));

        ImagesFrame page;
        waitForLoader();
        QTableWidget* rows = table(page);
        for (int round = 0; round < 20; ++round) {
            // The big image's job is still out when its row goes; the next
            // row may even get the freed cell's address.
            page.appendImageFromFile(big, QStringLiteral("A.com"));
            selectRows(rows, {rows->rowCount() - 1});
            click(page, "deleteButton");
            QVERIFY(writeImage(big, 1000, 2000));
            page.appendImageFromFile(small, QStringLiteral("B.com"));
        }
        QVERIFY(thumbnailsDone(page));
        QCOMPARE(rows->rowCount(), 20);
        for (int row = 0; row < rows->rowCount(); ++row)
            QCOMPARE(rows->item(row, 0)->icon().availableSizes(), QList<QSize>{QSize(200, 100)});
    }

    void deleteRemovesExactlyTheSelectedRows_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<int>>("selected");
        QTest::newRow("rows 2 and 30 of 40") << 40 << QList<int>{1, 29};
        QTest::newRow("rows 5 to 7") << 10 << QList<int>{4, 5, 6};
        QTest::newRow("selected bottom-up") << 6 << QList<int>{5, 0, 3};
    }

    void deleteRemovesExactlyTheSelectedRows()
    {
        QFETCH(int, count);
        QFETCH(QList<int>, selected);

        const QStringList paths = makeImages(count);
        ImagesFrame page;
        fill(page, paths);
        QTableWidget* rows = table(page);
        selectRows(rows, selected);

        click(page, "deleteButton");

        QCOMPARE(prompts->messages.size(), 1);
        QCOMPARE(prompts->messages[0].icon, QMessageBox::Information);
        QCOMPARE(prompts->messages[0].title, QStringLiteral("Delete"));
        QCOMPARE(prompts->messages[0].text,
                 QStringLiteral("Are you sure you want to delete %1 selected image files?").arg(selected.size()));
        QStringList kept = paths;
        QList<int> descending = selected;
        std::sort(descending.begin(), descending.end(), std::greater<int>());
        for (int row : descending)
            kept.removeAt(row);
        QCOMPARE(rowFiles(rows), kept);
        for (const QString& path : paths)
            QCOMPARE(QFile::exists(path), kept.contains(path));
        QStringList stored;
        for (const QString& row : storedRows("/images.dat", "IMAGES"))
            stored.append(row.section(QLatin1Char('|'), 0, 0));
        QCOMPARE(stored, kept);
        // The site folder still holds files, so it stays.
        QVERIFY(QFileInfo::exists(QFileInfo(paths.first()).path()));
    }

    void deleteEdgeCases()
    {
        const QStringList site = makeImages(1, QStringLiteral("only.com"));
        const QStringList other = makeImages(2, QStringLiteral("other.com"));
        ImagesFrame page;
        fill(page, site + other);
        QTableWidget* rows = table(page);

        // Nothing selected.
        rows->clearSelection();
        click(page, "deleteButton");
        QCOMPARE(prompts->titles(), QStringList{"Delete"});
        QCOMPARE(prompts->messages.last().text, QStringLiteral("Please select at least one image to delete."));
        QCOMPARE(prompts->messages.last().icon, QMessageBox::Warning);

        // Answered No: nothing changes anywhere.
        prompts->answer = QMessageBox::No;
        selectRows(rows, {0, 1});
        click(page, "deleteButton");
        QCOMPARE(rows->rowCount(), 3);
        QVERIFY(QFile::exists(site[0]) && QFile::exists(other[0]));
        QCOMPARE(storedRows("/images.dat", "IMAGES").size(), 3);

        // The file is already gone: row and store entry go without a message.
        prompts->answer = QMessageBox::Yes;
        prompts->messages.clear();
        QVERIFY(QFile::remove(other[1]));
        selectRows(rows, {2});
        click(page, "deleteButton");
        QCOMPARE(prompts->messages.size(), 1); // only the question
        QCOMPARE(rowFiles(rows), (QStringList{site[0], other[0]}));
        QCOMPARE(storedRows("/images.dat", "IMAGES").size(), 2);

        // The last file of a site folder takes the folder, not the day above.
        selectRows(rows, {0});
        click(page, "deleteButton");
        QVERIFY(!QFileInfo::exists(QFileInfo(site[0]).path()));
        QVERIFY(QFileInfo::exists(files.path() + QStringLiteral("/2026-12-07")));
        QCOMPARE(rowFiles(rows), QStringList{other[0]});
    }

    void save()
    {
        const QStringList paths = makeImages(3);
        ImagesFrame page;
        fill(page, paths);
        QTableWidget* rows = table(page);
        const QString target = files.path() + QStringLiteral("/saved");
        QVERIFY(QDir().mkpath(target));

        // Nothing selected.
        rows->clearSelection();
        click(page, "saveButton");
        QCOMPARE(prompts->messages.size(), 1);
        QCOMPARE(prompts->messages[0].title, QStringLiteral("Save Original"));
        QCOMPARE(prompts->messages[0].text, QStringLiteral("Please select at least one image to save."));
        prompts->messages.clear();

        // Cancelled dialog: nothing copied, nothing stored, no message; the
        // dialog started in the home folder.
        selectRows(rows, {0, 1, 2});
        prompts->folderAnswer.clear();
        click(page, "saveButton");
        QCOMPARE(prompts->folderStarts, QStringList{QDir::homePath()});
        QVERIFY(QDir(target).isEmpty());
        QVERIFY(!QSettings().contains("images/last_save_dir"));
        QVERIFY(prompts->messages.isEmpty());

        // A file of the same name is replaced; the next dialog starts in the
        // folder chosen last.
        const QString existing = target + QLatin1Char('/') + QFileInfo(paths[1]).fileName();
        QVERIFY(writeFile(existing, "older file"));
        prompts->folderAnswer = target;
        click(page, "saveButton");
        QVERIFY(prompts->messages.isEmpty());
        for (const QString& path : paths) {
            QFile copy(target + QLatin1Char('/') + QFileInfo(path).fileName());
            QFile original(path);
            QVERIFY(copy.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly));
            QCOMPARE(copy.readAll(), original.readAll());
        }
        QCOMPARE(QSettings().value("images/last_save_dir").toString(), target);
        click(page, "saveButton");
        QCOMPARE(prompts->folderStarts.last(), target);

        // One failed copy among three: the others are written, one message.
        QVERIFY(QDir(target).removeRecursively() && QDir().mkpath(target));
        QVERIFY(QFile::remove(paths[1]));
        click(page, "saveButton");
        QCOMPARE(prompts->titles(), QStringList{"Save Error"});
        QCOMPARE(prompts->messages[0].icon, QMessageBox::Critical);
        QCOMPARE(prompts->messages[0].text, QStringLiteral("One or more files couldn't be saved. You might "
                                                           "want to try again on a different folder."));
        QVERIFY(QFile::exists(target + QLatin1Char('/') + QFileInfo(paths[0]).fileName()));
        QVERIFY(QFile::exists(target + QLatin1Char('/') + QFileInfo(paths[2]).fileName()));
    }

    void saveIntoTheFilesOwnFolderKeepsIt()
    {
        const QStringList paths = makeImages(2);
        QFile original(paths[0]);
        QVERIFY(original.open(QIODevice::ReadOnly));
        const QByteArray bytes = original.readAll();

        ImagesFrame page;
        fill(page, paths);
        selectRows(table(page), {0, 1});
        prompts->folderAnswer = QFileInfo(paths[0]).path();
        click(page, "saveButton");

        QVERIFY2(prompts->messages.isEmpty(), "a file already in the folder counts as saved");
        QFile after(paths[0]);
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), bytes);
        QVERIFY(QFile::exists(paths[1]));
    }

    void open()
    {
        const QStringList paths = {sitePath("a.com", "one.png"), sitePath("a.com", "two #1 %20.png")};
        for (const QString& path : paths)
            QVERIFY(writeImage(path, 20, 10));
        ImagesFrame page;
        fill(page, paths);
        QTableWidget* rows = table(page);

        rows->clearSelection();
        click(page, "openButton");
        QCOMPARE(prompts->messages.last().text, QStringLiteral("Please select an image to open."));

        selectRows(rows, {0, 1});
        click(page, "openButton");
        QCOMPARE(prompts->messages.last().title, QStringLiteral("Open"));
        QCOMPARE(prompts->messages.last().text, QStringLiteral("You can only open one image at a time."));
        QVERIFY(prompts->opened.isEmpty());

        // A name with URL delimiters still names the same file.
        selectRows(rows, {1});
        click(page, "openButton");
        QCOMPARE(prompts->opened.size(), 1);
        QCOMPARE(prompts->opened[0].toLocalFile(), paths[1]);
    }

    void doubleClickOpensThatRowAlone()
    {
        const QStringList paths = makeImages(4);
        ImagesFrame page;
        fill(page, paths);
        QTableWidget* rows = table(page);
        selectRows(rows, {0, 1});

        // What the table reports for a double click on row 2, column 1.
        emit rows->cellDoubleClicked(2, 1);

        QCOMPARE(selectedFiles(rows), QStringList{paths[2]});
        QCOMPARE(prompts->opened.size(), 1);
        QCOMPARE(prompts->opened[0].toLocalFile(), paths[2]);
    }

    void ctrlASelectsEveryRow()
    {
        const QStringList paths = makeImages(3);
        ImagesFrame page;
        page.show();
        page.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&page));
        fill(page, paths);
        QTableWidget* rows = table(page);
        rows->clearSelection();

        QTest::keyClick(&page, Qt::Key_A, Qt::ControlModifier);

        QCOMPARE(page.selectedFiles().size(), 3);
    }
};

WINDOW_TEST_MAIN(ImagesFrameTest)
#include "images_frame_test.moc"
