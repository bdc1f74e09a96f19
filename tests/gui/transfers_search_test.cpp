// The search box of the transfers page: its placeholder, the origins it
// offers, and the rows a search lets through.

#include <QFocusEvent>
#include <QLineEdit>
#include <QTest>

#include "TransferResources.h"
#include "TransfersPage.h"
#include "VendraxResources.h"

namespace {

void sendFocus(QComboBox* combo, QEvent::Type type)
{
    QFocusEvent event(type, Qt::MouseFocusReason);
    QCoreApplication::sendEvent(combo, &event);
}

}  // namespace

class TransfersSearchTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { initVendraxResources(); }

    void searchStartsWithPlaceholderAndEmptyChoice()
    {
        TransfersFrame page;
        QCOMPARE(searchOf(page)->currentText(), QString("Search..."));
        QCOMPARE(choices(page), QStringList({""}));
    }

    void choicesHoldEachOriginOnce()
    {
        TransfersFrame page;
        page.captureStarted(1, transferResource("a.tube.example", true, 0), "/d/1.flv");
        page.captureStarted(2, transferResource("b.tube.example", true, 0), "/d/2.flv");
        page.downloadStarted(1, transferResource("c.pics.example", false, 0), "/d/3.png");
        // In one order, whatever order they came in.
        QCOMPARE(choices(page), QStringList({"", "Pics.example", "Tube.example"}));
        QCOMPARE(searchOf(page)->currentText(), QString("Search..."));
    }

    void filterMatchesAnyCellIgnoringCase_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("visible");
        const QString v1 = "Video (FLV format) ";
        const QString i1 = "Image (PNG format) ";
        const QString v2 = "Video (MP4 format) 1.0 KB";
        QTest::newRow("kind, other case") << "video" << QStringList({v1, v2});
        QTest::newRow("part of a domain") << "UBE" << QStringList({v1, i1});
        QTest::newRow("format") << "mp4" << QStringList({v2});
        QTest::newRow("padded by blanks") << "  png  " << QStringList({i1});
        QTest::newRow("only blanks") << "   " << QStringList({v1, i1, v2});
        QTest::newRow("empty entry") << "" << QStringList({v1, i1, v2});
        QTest::newRow("no match") << "nothing" << QStringList();
        QTest::newRow("wildcard is literal") << "*" << QStringList();
    }

    void filterMatchesAnyCellIgnoringCase()
    {
        QFETCH(QString, search);
        QFETCH(QStringList, visible);
        TransfersFrame page;
        page.captureStarted(1, transferResource("a.tube.example", true, 0), "/d/1.flv");
        page.captureStarted(2, transferResource("b.tube.example", false, 0), "/d/2.png");
        page.downloadStarted(1, transferResource("c.clips.example", true, 1024), "/d/3.mp4");
        emit searchOf(page)->textActivated("nothing");  // a filter in force first
        emit searchOf(page)->textActivated(search);
        QCOMPARE(visibleDescriptions(page), visible);
    }

    void enterInTheBoxFilters()
    {
        TransfersFrame page;
        page.captureStarted(1, transferResource("a.tube.example", true, 0), "/d/1.flv");
        page.captureStarted(2, transferResource("b.pics.example", false, 0), "/d/2.png");
        QLineEdit* edit = searchOf(page)->lineEdit();
        edit->clear();
        QTest::keyClicks(edit, "pics");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(visibleDescriptions(page), QStringList({"Image (PNG format) "}));
    }

    void placeholderFollowsFocus()
    {
        TransfersFrame page;
        QComboBox* combo = searchOf(page);
        page.captureStarted(1, transferResource("a.tube.example", true, 0), "/d/1.flv");
        page.captureStarted(2, transferResource("b.pics.example", false, 0), "/d/2.png");

        sendFocus(combo, QEvent::FocusIn);
        QCOMPARE(combo->currentText(), QString());

        // Leaving with a text keeps the text and the filter.
        combo->setEditText("pics");
        emit combo->textActivated("pics");
        sendFocus(combo, QEvent::FocusOut);
        QCOMPARE(combo->currentText(), QString("pics"));
        QCOMPARE(visibleDescriptions(page).size(), 1);

        // Leaving blank restores the placeholder and every row.
        sendFocus(combo, QEvent::FocusIn);
        QCOMPARE(combo->currentText(), QString("pics"));
        combo->setEditText("   ");
        sendFocus(combo, QEvent::FocusOut);
        QCOMPARE(combo->currentText(), QString("Search..."));
        QCOMPARE(visibleDescriptions(page).size(), 2);

        // The placeholder typed by hand stays on leaving, and is cleared on
        // the next click into the box.
        sendFocus(combo, QEvent::FocusIn);
        combo->setEditText("Search...");
        sendFocus(combo, QEvent::FocusOut);
        QCOMPARE(combo->currentText(), QString("Search..."));
        sendFocus(combo, QEvent::FocusIn);
        QCOMPARE(combo->currentText(), QString());
        // Other letter case is no placeholder.
        combo->setEditText("search...");
        sendFocus(combo, QEvent::FocusOut);
        sendFocus(combo, QEvent::FocusIn);
        QCOMPARE(combo->currentText(), QString("search..."));
    }

    void refreshKeepsTypedTextAndDropsEnteredChoices()
    {
        TransfersFrame page;
        QComboBox* combo = searchOf(page);
        page.captureStarted(1, transferResource("a.tube.example", true, 0), "/d/1.flv");
        combo->addItem("entered before");
        combo->setEditText("tub");
        page.captureStarted(2, transferResource("b.pics.example", true, 0), "/d/2.flv");
        QCOMPARE(combo->currentText(), QString("tub"));
        QVERIFY(!choices(page).contains("entered before"));
        QCOMPARE(choices(page).size(), 3);
    }

    // New transfers arrive while the user is in the box: what is typed stays
    // as typed, and an open list keeps its entries until it closes.
    void newTransfersLeaveTheUserAlone()
    {
        TransfersFrame page;
        page.show();
        QVERIFY(QTest::qWaitForWindowActive(&page));
        QComboBox* combo = searchOf(page);
        page.captureStarted(1, transferResource("v.cdn.example", true, 0), "/d/1.flv");
        QTest::mouseClick(combo->lineEdit(), Qt::LeftButton);
        QCOMPARE(combo->currentText(), QString());
        page.captureStarted(2, transferResource("b.tube.example", true, 0), "/d/2.flv");
        QCOMPARE(combo->currentText(), QString());
        // Not the start of an origin, which the box would complete.
        QTest::keyClicks(combo->lineEdit(), "d");
        page.captureStarted(3, transferResource("a.pics.example", false, 0), "/d/3.png");
        QTest::keyClicks(combo->lineEdit(), "n");
        QCOMPARE(combo->currentText(), QString("dn"));
        QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        QCOMPARE(visibleDescriptions(page), QStringList({"Video (FLV format) "}));

        combo->showPopup();
        QTRY_VERIFY(combo->view()->isVisible());
        const QStringList shown = choices(page);
        page.captureStarted(4, transferResource("a.art.example", false, 0), "/d/4.png");
        QCOMPARE(choices(page), shown);
        combo->hidePopup();
        QTRY_COMPARE(choices(page), QStringList({"", "Art.example", "Cdn.example", "Pics.example", "Tube.example"}));
        QCOMPARE(combo->currentText(), QString("dn"));
    }

    void rowAddedUnderAFilterIsVisible()
    {
        TransfersFrame page;
        page.captureStarted(1, transferResource("a.tube.example", true, 0), "/d/1.flv");
        emit searchOf(page)->textActivated("pics");
        QCOMPARE(visibleDescriptions(page), QStringList());
        page.captureStarted(2, transferResource("b.other.example", true, 0), "/d/2.mp4");
        QCOMPARE(visibleDescriptions(page), QStringList({"Video (MP4 format) "}));
    }
};

QTEST_MAIN(TransfersSearchTest)
#include "transfers_search_test.moc"
