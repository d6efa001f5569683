// The command language as the running window carries it out: lists arrive through the real
// command channel, as a later start sends them.
#include "app/commandchannel.h"
#include "app/commandinterpreter.h"
#include "commandsender.h"
#include "app/mainwindow.h"
#include "imaging/display.h"
#include "imaging/tepageitem.h"
#include "search/stampsearch.h"
#include "temphome.h"

#include <QDir>
#include <QMessageBox>
#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestCommandInterpreter : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void selection_data();
    void selection();
    void reportPathKeepsItsValue();
    void refusedCommands_data();
    void refusedCommands();
    void nothingWithoutAPicture();
    void firstLoadablePictureWins();
    void listsArrivingTogetherAreAllHandled();
    void listReadWithoutAWindow_data();
    void listReadWithoutAWindow();

private:
    // Sends the list as a later start would and waits until the window has taken it.
    void deliver(const QStringList &arguments);
    // The frame in pixels of the full picture.
    QRect frameInPicture() const;

    QTemporaryDir m_dir;
    QString m_picture;      // 1000 x 800
    QString m_otherPicture; // 600 x 900
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<MainWindow> m_window;
    QString m_socket;
};

void TestCommandInterpreter::initTestCase()
{
    QImage picture(1000, 800, QImage::Format_RGB32);
    picture.fill(QColor("#d8c8a0"));
    m_picture = m_dir.filePath("stamp.png");
    QVERIFY(picture.save(m_picture));
    QImage other(600, 900, QImage::Format_RGB32);
    other.fill(Qt::darkGreen);
    m_otherPicture = m_dir.filePath("other.png");
    QVERIFY(other.save(m_otherPicture));
    m_socket = m_dir.filePath("instance.lock.socket");
}

void TestCommandInterpreter::init()
{
    qputenv("QUILLET_HOSTS", "/nonexistent");
    m_home = std::make_unique<TempHome>();
    m_home->writeKnownConfig();
    m_window = std::make_unique<MainWindow>(QStringList{"quillet"});
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QVERIFY(m_window->listenForCommands(m_socket));
}

void TestCommandInterpreter::cleanup()
{
    m_window.reset();
    m_home.reset();
    qunsetenv("QUILLET_HOSTS");
}

void TestCommandInterpreter::deliver(const QStringList &arguments)
{
    QVERIFY(CommandSender::send(QStringList{"/usr/bin/quillet"} + arguments, m_socket));
    // Taken once the channel has nothing left for the window.
    auto *channel = m_window->findChild<CCommandChannel *>();
    QTRY_VERIFY(!channel->hasPendingLists());
    QTest::qWait(50);
}

QRect TestCommandInterpreter::frameInPicture() const
{
    const QSize shown = m_window->display()->shownSize();
    const double k = double(m_window->picture().width()) / shown.width();
    const QRect frame = m_window->selectionFrame()->geometry();
    const int dx = (m_window->display()->width() - shown.width()) / 2;
    const int dy = (m_window->display()->height() - shown.height()) / 2;
    return QRect(qRound((frame.x() - dx) * k), qRound((frame.y() - dy) * k), qRound(frame.width() * k),
                 qRound(frame.height() * k));
}

void TestCommandInterpreter::selection_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QRect>("frame"); // in picture pixels, to within the view's scale
    QTest::newRow("four numbers") << QStringList{"/SEL:100,50,200,120"} << QRect(100, 50, 200, 120);
    QTest::newRow("any case") << QStringList{"/sel:300,200,400,300"} << QRect(300, 200, 400, 300);
    QTest::newRow("three numbers skipped, then all") << QStringList{"/SEL:1,2,3", "/SELALL"} << QRect(0, 0, 1000, 800);
    QTest::newRow("all before four numbers wins") << QStringList{"/SelAll", "/SEL:100,50,200,120"}
                                                  << QRect(0, 0, 1000, 800);
    QTest::newRow("partly outside, clipped") << QStringList{"/SEL:-100,700,300,400"} << QRect(0, 700, 200, 100);
}

void TestCommandInterpreter::selection()
{
    QFETCH(QStringList, commands);
    QFETCH(QRect, frame);
    deliver(QStringList{m_picture} + commands);
    QCOMPARE(m_window->picture().size(), QSize(1000, 800));
    QCOMPARE(m_window->size(), QSize(1000, 655));
    const QRect placed = frameInPicture();
    const int slack = int(double(m_window->picture().width()) / m_window->display()->shownSize().width()) + 2;
    QVERIFY2(qAbs(placed.x() - frame.x()) <= slack && qAbs(placed.y() - frame.y()) <= slack
                 && qAbs(placed.width() - frame.width()) <= slack && qAbs(placed.height() - frame.height()) <= slack,
             qPrintable(QString("placed %1,%2 %3x%4").arg(placed.x()).arg(placed.y()).arg(placed.width()).arg(placed.height())));
}

void TestCommandInterpreter::reportPathKeepsItsValue()
{
    deliver({m_picture, "/savedata:C:\\out\\find.html"});
    QCOMPARE(m_window->reportFile(), QString("C:/out/find.html"));
    deliver({m_picture, "/SELALL"});
    QCOMPARE(m_window->reportFile(), QString("C:/out/find.html"));
    // Without a picture, not even the report path is taken.
    deliver({"/SAVEDATA:/elsewhere/x.html"});
    QCOMPARE(m_window->reportFile(), QString("C:/out/find.html"));
}

void TestCommandInterpreter::refusedCommands_data()
{
    QTest::addColumn<QStringList>("commands"); // "DIR" stands for the test's folder
    QTest::addColumn<QString>("message");
    QTest::newRow("report path is a folder") << QStringList{"/SAVEDATA:DIR"} << "The report path is a folder: DIR";
    QTest::newRow("report path without a folder")
        << QStringList{"/SAVEDATA:find.html"} << "The report path is not a file in a folder: find.html";
    QTest::newRow("selection outside the picture")
        << QStringList{"/SEL:1000,0,50,50", "/SAVEDATA:DIR/find.html"} << "The selection lies outside the picture: /SEL:1000,0,50,50";
    QTest::newRow("empty selection") << QStringList{"/SEL:10,10,0,40"} << "The selection lies outside the picture: /SEL:10,10,0,40";
}

void TestCommandInterpreter::refusedCommands()
{
    QFETCH(QStringList, commands);
    QFETCH(QString, message);
    const QStringList before = QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    deliver({m_picture, "/SAVEDATA:/earlier/find.html"});
    QSignalSpy started(m_window->search(), &CStampSearch::signalStarted);
    commands.replaceInStrings("DIR", m_dir.path());
    QTest::ignoreMessage(QtWarningMsg, qPrintable(message.replace("DIR", m_dir.path())));
    deliver(QStringList{m_picture} + commands + QStringList{"/START"});
    // Said in a box that waits for nobody; the list goes no further: nothing searched, nothing
    // written anywhere, the earlier report path kept.
    QTRY_VERIFY(m_window->findChild<QMessageBox *>());
    QCOMPARE(m_window->findChild<QMessageBox *>()->text(), message);
    QTest::qWait(200);
    QCOMPARE(started.size(), 0);
    QCOMPARE(m_window->reportFile(), "/earlier/find.html");
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    // The next list closes the box.
    deliver({m_picture});
    QTRY_VERIFY(!m_window->findChild<QMessageBox *>());
}

void TestCommandInterpreter::nothingWithoutAPicture()
{
    QSignalSpy started(m_window->search(), &CStampSearch::signalStarted);
    deliver({m_dir.filePath("missing.png"), "", "/SELALL", "/START"});
    QCOMPARE(started.size(), 0);
    QVERIFY(!m_window->search()->isRunning());
}

void TestCommandInterpreter::firstLoadablePictureWins()
{
    deliver({m_dir.filePath("missing.png"), m_otherPicture, m_picture});
    QCOMPARE(m_window->picture().size(), QSize(600, 900));
}

void TestCommandInterpreter::listsArrivingTogetherAreAllHandled()
{
    // Sent before the window's event loop runs again: both are waiting at once.
    CommandSender first({"quillet", m_picture, "/SAVEDATA:/a/first.html"}, m_socket);
    QThread::msleep(200);
    CommandSender second({"quillet", m_otherPicture, "/SELALL"}, m_socket);
    QThread::msleep(200);
    QVERIFY(first.wait());
    QVERIFY(second.wait());
    auto *channel = m_window->findChild<CCommandChannel *>();
    QTRY_COMPARE(m_window->picture().size(), QSize(600, 900));
    QVERIFY(!channel->hasPendingLists());
    QCOMPARE(m_window->reportFile(), QString("/a/first.html"));
}

QTEST_MAIN(TestCommandInterpreter)
#include "tst_commandinterpreter.moc"

// The reading of a list on its own: what is framed, where the report goes, what runs, or why the
// list is refused. "DIR" stands for the test's folder.
void TestCommandInterpreter::listReadWithoutAWindow_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("nothing but the picture") << QStringList{} << "frame none, report '', action 0";
    QTest::newRow("first frame wins, clipped") << QStringList{"/sel:900,700,300,300", "/SEL:0,0,10,10", "/SELALL"}
                                              << "frame 900,700 100x100, report '', action 0";
    QTest::newRow("a malformed /SEL: is passed over") << QStringList{"/SEL:1,2,3", "/SELALL"} << "frame all, report '', action 0";
    QTest::newRow("report and search") << QStringList{"/SAVEDATA:DIR\\a.html", "/START"} << "frame none, report 'DIR/a.html', action 1";
    QTest::newRow("identify all in place of a search") << QStringList{"/START", "/identifyall"} << "frame none, report '', action 2";
    QTest::newRow("frame outside") << QStringList{"/SEL:-50,0,40,40", "/START"} << "refused: The selection lies outside the picture: %1 (/SEL:-50,0,40,40)";
    QTest::newRow("report is a folder") << QStringList{"/SAVEDATA:DIR", "/START"} << "refused: The report path is a folder: %1 (DIR)";
}

void TestCommandInterpreter::listReadWithoutAWindow()
{
    QFETCH(QStringList, commands);
    QFETCH(QString, outcome);
    commands.replaceInStrings("DIR", m_dir.path());
    CCommandInterpreter list(QStringList{"", m_picture} + commands);
    QCOMPARE(list.pictureCandidates(), QStringList{m_picture} + commands);
    QString read;
    if (!list.read(QSize(1000, 800))) {
        read = QString("refused: %1 (%2)").arg(list.problem(), list.problemArgument());
    } else {
        const std::optional<QRect> frame = list.frame();
        read = QString("frame %1, report '%2', action %3")
                   .arg(frame ? QString("%1,%2 %3x%4").arg(frame->x()).arg(frame->y()).arg(frame->width()).arg(frame->height())
                              : list.selectAll() ? "all" : "none",
                        list.reportPath())
                   .arg(list.action());
    }
    QCOMPARE(read, outcome.replace("DIR", m_dir.path()));
}
